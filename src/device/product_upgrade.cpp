#include "device/product_upgrade.h"

#include "package/checked_package.h"
#include "device/device_discovery.h"
#include "package/package_bytes.h"
#include "package/package_header.h"
#include "package/signed_package.h"
#include "device/outcome.h"
#include "device/product_return.h"
#include "device/usb_release.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kSecondSearch{2000};  // the window's rule
constexpr milliseconds kPollEvery{200};      // with --wait

// The transfer as the output shows it: progress and messages go to the
// output, `stop` (Ctrl-C) ends it between reports.
class CommandLineView final : public TransferView {
public:
    CommandLineView(std::string path, UpgradeOutput& out, const std::atomic<bool>& stop)
        : path_(std::move(path)), out_(out), stop_(stop) {}
    void SetGauge(int) override {}
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        out_.Message(path_, caption, text, style);
    }
    void ProcessPendingEvents() override {}
    void PayloadSent(std::uint64_t sent, std::uint64_t total) override { out_.Progress(path_, sent, total); }
    bool StopRequested() override { return stop_.load(); }

private:
    std::string path_;
    UpgradeOutput& out_;
    const std::atomic<bool>& stop_;
};

// Sleeps up to `span`, waking early for Ctrl-C; false when interrupted.
bool Pause(milliseconds span, const std::atomic<bool>& stop) {
    const auto until = Clock::now() + span;
    while (Clock::now() < until) {
        if (stop.load())
            return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(20), until - Clock::now()));
    }
    return !stop.load();
}

// Tells how the product's upgrade ended, and returns it.
Outcome End(UpgradeOutput& out, const FoundProduct& product, Outcome outcome) {
    out.Result({product.path, product.identity, outcome});
    return outcome;
}

// The product, upgraded, back with the release expected: how its upgrade ends, told on `end`.
void Verify(const UpgradeOptions& options, HidSystem& hid, const PackageHeader& header, std::set<std::string> before,
            UpgradeOutput& out, const std::atomic<bool>& stop, UpgradeEnd& end) {
    const std::uint16_t expected = *options.expectRelease;
    out.Message(end.path, "Verifying",
                "Upgraded; waiting up to " + SecondsText(options.verifyWithin) +
                    " s for it to come back with release " + ReleaseText(expected) + ".",
                MessageStyle::Information);
    const auto back = AwaitReturn(hid, header.VendorId, header.ProductId, end.identity, std::move(before),
                                  options.verifyWithin, stop);
    end.verified = false;
    if (!back) {
        end.outcome = stop.load() ? Outcome::Interrupted : Outcome::NotReturned;
        out.Message(end.path, stop.load() ? "Interrupted" : "Not verified",
                    stop.load() ? "Stopped before it came back: the new firmware was not seen running."
                                : NotReturnedText(options.verifyWithin),
                    MessageStyle::Exclamation);
        return;
    }
    end.releaseAfter = back->release;
    const ReturnVerdict verdict = JudgeReturn(back->release, expected);
    end.outcome = verdict.outcome;
    end.verified = verdict.outcome == Outcome::Verified;
    if (!verdict.text.empty())
        out.Message(end.path, "Not verified", verdict.text, MessageStyle::Exclamation);
}

Outcome Upgrade(FoundProduct& product, const std::vector<std::uint8_t>& package, const UpgradeOptions& options,
                HidSystem& hid, const PackageHeader& header, UpgradeOutput& out, const std::atomic<bool>& stop) {
    // What is plugged in before: the product back is a plug not among them.
    const std::set<std::string> before = options.expectRelease ? PresentPlugs(hid) : std::set<std::string>();
    CommandLineView view(product.path, out, stop);
    const auto start = Clock::now();
    const TransferResult result = TransferFirmware(view, *product.device, std::make_unique<PackageBytes>(package));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    product.device.reset();  // closed before anyone hears how it went
    if (result.outcome == TransferOutcome::Interrupted)
        out.Message(product.path, "Interrupted",
                    "Stopped after " + std::to_string(result.payloadSent) + " of " +
                        std::to_string(result.payloadSize) +
                        " bytes. The product may hold part of the new firmware: upgrade it again.",
                    MessageStyle::Exclamation);
    UpgradeEnd end{product.path, product.identity, OutcomeOf(result.outcome), took, result.payloadSent};
    if (result.outcome == TransferOutcome::Refused)
        end.ackCode = result.ackCode;
    if (end.outcome == Outcome::Upgraded && options.expectRelease)
        Verify(options, hid, header, before, out, stop, end);
    out.Result(end);
    return end.outcome;
}

// Tells the summary of the products' ends; returns the worst of them.
Outcome Summarize(UpgradeOutput& out, const std::vector<Outcome>& ends) {
    std::map<Outcome, int> outcomes;
    Outcome worst = Outcome::Upgraded;
    for (const Outcome outcome : ends) {
        ++outcomes[outcome];
        worst = Worse(worst, outcome);
    }
    out.Summary(outcomes, worst);
    return worst;
}

}  // namespace

Outcome RunUpgrade(const UpgradeOptions& options, HidSystem& hid, UpgradeOutput& out, const std::atomic<bool>& stop) {
    // An upgrade that ends before any product: the message, and a result for no product.
    const auto fail = [&out](const char* caption, const std::string& text, MessageStyle style, Outcome outcome) {
        out.Message("", caption, text, style);
        return End(out, {}, outcome);
    };
    const std::string denied = "Device found, but access to it was denied.\nAllow access to the device (see README) and try again.";
    std::string why;
    auto checked = CheckPackage(options.package, why);
    if (!checked)
        return fail("File Error", why, MessageStyle::Plain, Outcome::FileError);
    const auto untrusted = TrustRefusal(*checked, options.trust);
    out.Package(checked->summary);
    if (untrusted)
        return fail("File Error", *untrusted, MessageStyle::Plain, Outcome::FileError);
    if (const auto refused = PinRefusal(*checked, options.sha256))
        return fail("File Error", *refused, MessageStyle::Plain, Outcome::FileError);
    const std::vector<std::uint8_t> package = std::move(checked->bytes);
    const PackageHeader header = DecodeHeader(std::span<const std::uint8_t, qeff::HeaderSize>(package.data(), qeff::HeaderSize));
    const std::uint16_t vid = header.VendorId, pid = header.ProductId;

    // The product(s): the one named, or by the package's IDs, looking again
    // until the product appears or the time is up.
    std::vector<FoundProduct> products;
    if (options.device) {
        OpenFailure why = OpenFailure::None;
        auto device = hid.OpenDevice(*options.device, &why);
        if (!device) {
            if (why == OpenFailure::AccessDenied)
                return fail("Warning", denied, MessageStyle::Exclamation, Outcome::AccessDenied);
            return fail("Warning", "Cannot open " + *options.device + ".", MessageStyle::Exclamation, Outcome::NotFound);
        }
        const auto ids = device->Attributes();
        if (!ids || ids->VendorId != vid || ids->ProductId != pid) {
            char text[160];
            std::snprintf(text, sizeof text, "%s is not the product this package is for (%04x:%04x).",
                          options.device->c_str(), vid, pid);
            return fail("Warning", text, MessageStyle::Exclamation, Outcome::NotFound);
        }
        DeviceIdentity identity = device->Identity();
        products.push_back({0, *options.device, std::move(device), std::move(identity)});
    } else {
        const auto start = Clock::now();
        bool accessDenied = false;
        int seen = 0;
        for (int search = 0;; ++search) {
            if (options.all) {
                products = FindAllProducts(hid, vid, pid, &accessDenied, &seen, options.choice);
            } else {
                // Named by the interface the search opened: the interfaces may
                // have changed since.
                FoundProduct found;
                seen = FindProduct(hid, vid, pid, found, &accessDenied, options.choice);
                if (found.device)
                    products.push_back(std::move(found));
            }
            if (!products.empty())
                break;
            const bool again = options.wait ? Clock::now() - start + kPollEvery <= *options.wait : search == 0;
            if (!again || !Pause(options.wait ? kPollEvery : kSecondSearch, stop))
                break;
        }
        if (products.empty()) {
            if (stop.load())
                return fail("Interrupted", "Stopped while looking for the product; nothing was sent.",
                            MessageStyle::Exclamation, Outcome::Interrupted);
            if (accessDenied)
                return fail("Warning", denied, MessageStyle::Exclamation, Outcome::AccessDenied);
            if (!options.choice.Any()) {
                std::string wanted;
                if (options.choice.serial)
                    wanted += " with serial number \"" + *options.choice.serial + "\"";
                if (options.choice.location)
                    wanted += " at \"" + *options.choice.location + "\"";
                return fail("Warning", "No product" + wanted + " is attached with the package's IDs; nothing was sent.",
                            MessageStyle::Exclamation, Outcome::NotFound);
            }
            if (seen != 0)
                return fail("Warning", "Device not recognized, vendor ID or product ID incorrect",
                            MessageStyle::Exclamation, Outcome::NotFound);
            return fail("Warning", "Device not recognized.\nReconnect the device to USB port.",
                        MessageStyle::Information, Outcome::NotFound);
        }
    }
    for (const FoundProduct& p : products)
        out.Found(p.path, p.index, p.identity);

    if (options.dryRun) {
        std::vector<Outcome> ends;
        for (FoundProduct& p : products) {
            const auto lengths = p.device->Capabilities();
            p.device.reset();
            if (!lengths || lengths->OutputReportByteLength < 2 || lengths->InputReportByteLength < 9) {
                out.Message(p.path, "Error", "Device report length not supported!", MessageStyle::Plain);
                ends.push_back(End(out, p, Outcome::NotFound));
                continue;
            }
            out.Plan(p.path, *lengths,
                     PlanTransfer(package.size() - qeff::HeaderSize, header.BlockLength,
                                  lengths->OutputReportByteLength));
            ends.push_back(End(out, p, Outcome::Upgraded));  // planned: as far as a dry run goes
        }
        return Summarize(out, ends);
    }

    // Each product on a thread of its own with its own device: one product's
    // failure, or its slowness, does not hold up the others.
    std::vector<Outcome> ends(products.size(), Outcome::Failed);
    if (products.size() == 1) {
        ends[0] = Upgrade(products[0], package, options, hid, header, out, stop);
    } else {
        std::vector<std::thread> threads;
        threads.reserve(products.size());
        for (std::size_t i = 0; i < products.size(); ++i)
            threads.emplace_back([&, i] {
                try {
                    ends[i] = Upgrade(products[i], package, options, hid, header, out, stop);
                } catch (const std::exception& e) {
                    products[i].device.reset();
                    out.Message(products[i].path, "Error", e.what(), MessageStyle::Error);
                    End(out, products[i], Outcome::Failed);
                }
            });
        for (std::thread& t : threads)
            t.join();
    }
    return Summarize(out, ends);
}
