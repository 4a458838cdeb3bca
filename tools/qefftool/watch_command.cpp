#include "watch_command.h"

#include "device/firmware_transfer.h"
#include "device/product_watcher.h"
#include "exit_codes.h"
#include "package/package_bytes.h"
#include "package/package_header.h"
#include "station_output.h"
#include "upgrade_command.h"

#include <algorithm>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for products lasts before Ctrl-C and the count are looked
// at again; a product that arrives meanwhile ends the wait at once.
constexpr std::chrono::milliseconds LookAgainEvery{100};

// One product's transfer as the station tells it: progress every tenth,
// the transfer's messages, Ctrl-C between reports.
class StationView final : public TransferView {
public:
    StationView(std::string path, StationOutput& out, const std::atomic<bool>& stop)
        : path_(std::move(path)), out_(out), stop_(stop) {}
    void SetGauge(int) override {}
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle) override {
        out_.Message(path_, caption, text);
    }
    void ProcessPendingEvents() override {}
    void PayloadSent(std::uint64_t sent, std::uint64_t total) override {
        const int tenth = total ? static_cast<int>(sent * 10 / total) : 10;
        if (tenth > lastTenth_ && sent < total) {  // the end is told by the outcome
            lastTenth_ = tenth;
            if (tenth > 0)
                out_.Progress(path_, tenth * 10);
        }
    }
    bool StopRequested() override { return stop_.load(); }

private:
    std::string path_;
    StationOutput& out_;
    const std::atomic<bool>& stop_;
    int lastTenth_ = 0;
};

}  // namespace

int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             const std::atomic<bool>& stop) {
    std::map<int, int> outcomes;
    const auto fail = [&](const std::string& text) {
        out.Message("", "File Error", text);
        out.Summary(outcomes, ExitPackage);
        return static_cast<int>(ExitPackage);
    };
    std::string why;
    const auto package = CheckPackage(options.package, why);
    if (!package)
        return fail(why);
    out.Package(package->summary);
    if (const auto refused = PinRefusal(*package, options.sha256))
        return fail(*refused);

    const std::uint16_t vid = package->summary.vendorId, pid = package->summary.productId;
    ProductWatcher watcher(hid, arrivals, vid, pid, options.choice);
    out.Watching(vid, pid);

    struct Upgrade {
        std::thread thread;
        std::atomic<bool> over{false};
    };
    std::list<Upgrade> running;
    std::mutex mutex;  // guards the tallies
    int worst = ExitSuccess;
    std::size_t upgraded = 0;
    const auto countReached = [&] {
        const std::lock_guard lock(mutex);
        return options.count && upgraded >= *options.count;
    };
    const auto reap = [&](bool all) {
        for (auto it = running.begin(); it != running.end();) {
            if (all || it->over) {
                it->thread.join();
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    };

    while (!stop.load() && !countReached()) {
        for (FoundProduct& product : watcher.Arrived(LookAgainEvery).arrived) {
            out.Arrived(product.path, product.identity);
            Upgrade& upgrade = running.emplace_back();
            const std::string path = product.path;
            const DeviceIdentity identity = product.identity;
            // Each product on a thread of its own with its own device: one
            // product's failure, or its slowness, holds up no other.
            auto run = [&, found = std::move(product), &over = upgrade.over]() mutable {
                const auto start = Clock::now();
                int code = ExitFailure;
                try {
                    StationView view(found.path, out, stop);
                    const TransferResult result =
                        TransferFirmware(view, *found.device, std::make_unique<PackageBytes>(package->bytes));
                    found.device.reset();  // closed before anyone hears how it went
                    if (result.outcome == TransferOutcome::Interrupted)
                        out.Message(found.path, "Interrupted",
                                    "Stopped after " + std::to_string(result.payloadSent) + " of " +
                                        std::to_string(result.payloadSize) +
                                        " bytes. The product may hold part of the new firmware: upgrade it again.");
                    code = ExitCodeOf(result.outcome);
                } catch (const std::exception& e) {
                    found.device.reset();
                    out.Message(found.path, "Error", e.what());
                }
                {
                    const std::lock_guard lock(mutex);
                    ++outcomes[code];
                    worst = std::max(worst, code);
                    upgraded += code == ExitSuccess;
                }
                out.Done(found.path, found.identity, code,
                         std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
                over = true;
            };
            try {
                upgrade.thread = std::thread(std::move(run));
            } catch (const std::system_error&) {  // no thread to be had: the product is told it failed
                running.pop_back();
                {
                    const std::lock_guard lock(mutex);
                    ++outcomes[ExitFailure];
                    worst = std::max<int>(worst, ExitFailure);
                }
                out.Message(path, "Error", "No thread to be had for its upgrade; nothing was sent.");
                out.Done(path, identity, ExitFailure, std::chrono::milliseconds(0));
            }
        }
        reap(false);
    }
    reap(true);  // after Ctrl-C each stops at its next report
    out.Summary(outcomes, worst);
    return worst;
}
