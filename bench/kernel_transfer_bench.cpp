// Runs inside a guest kernel with the host's files (scripts/kernel-bench.sh
// boots one): the utility's transfer on real hidraw nodes, over uhid and over a
// USB gadget on dummy_hcd (the usbhid path a real product takes), three ways in
// the same boot: a bare write/poll/read loop with nothing of the utility in
// it, the transfer with a view that does nothing, and the transfer as the
// window runs it (UploadFirmware on the real Qt window, offscreen, its events
// processed after every report and its gauge drawn). 4096 reports of 65 bytes,
// with an acknowledgement after every report (BlockLength 64) and after every
// 64 (BlockLength 4096). Then qefftool's upgrade --all with 1, 2 and 4 uhid
// products that each take 20 ms to answer a block.

#include "app/open_dialog.h"
#include "app/qt/quorvella_upgrade_utility.h"
#include "app/upload_firmware.h"
#include "device/device_discovery.h"
#include "device/firmware_transfer.h"
#include "device/message_display.h"
#include "package/package_bytes.h"
#include "package/package_header.h"
#include "platform/hid_linux.h"
#include "platform/native_arrivals.h"
#include "device/product_upgrade.h"
#include "support/station_harness.h"
#include "simulated/virtual_product.h"

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReportLength = 65;
constexpr std::size_t kReports = 4096;
constexpr int kRuns = 9;

class QuietView final : public TransferView {
public:
    std::string last;
    void SetGauge(int) override {}
    void ShowMessage(const std::string& text, const std::string&, MessageStyle) override { last = text; }
    void ProcessPendingEvents() override {}
};

// The window's boxes are modal; here they are counted so that nothing waits for a user.
class CountingMessages final : public MessageDisplay {
public:
    std::string last;
    void Show(const std::string& text, const std::string&, MessageStyle) override { last = text; }
};

class FixedDialog final : public OpenDialog {
public:
    bool Execute() override { return true; }
};

std::vector<std::uint8_t> Package(std::uint16_t vid, std::uint16_t pid, std::size_t payload, std::uint32_t block) {
    std::vector<std::uint8_t> p(qeff::HeaderSize + payload, 0);
    std::copy(qeff::Signature.begin(), qeff::Signature.end(), p.begin());
    for (int i = 0; i < 4; ++i)
        p[13 + i] = static_cast<std::uint8_t>(block >> (8 * i));
    p[21] = static_cast<std::uint8_t>(vid);
    p[22] = static_cast<std::uint8_t>(vid >> 8);
    p[23] = static_cast<std::uint8_t>(pid);
    p[24] = static_cast<std::uint8_t>(pid >> 8);
    for (std::size_t i = 0; i < payload; ++i)
        p[qeff::HeaderSize + i] = static_cast<std::uint8_t>(i * 13 + 5);
    return p;
}

void Save(const char* path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Nothing to show: the benchmark only times the upgrade.
class Silent final : public UpgradeOutput {
public:
    void Package(const PackageSummary&) override {}
    void Found(const std::string&, std::size_t, const DeviceIdentity&) override {}
    void Plan(const std::string&, const ReportLengths&, const TransferPlan&) override {}
    void Progress(const std::string&, std::uint64_t, std::uint64_t) override {}
    void Message(const std::string&, const std::string&, const std::string&, MessageStyle) override {}
    void Result(const UpgradeEnd&) override {}
    void Summary(const std::map<Outcome, int>&, Outcome) override {}
};

// qefftool upgrade --all against `count` products in the same boot; the
// seconds it took, or a negative number when an upgrade failed.
constexpr std::size_t kPayload = 64 * 1024;
constexpr std::uint32_t kBlock = 4096;  // 16 blocks: 320 ms of answering per product

// A product that takes 20 ms to answer each block of its 64 KiB, and its package at `path`.
VirtualProductOptions AnsweringProduct(std::uint16_t productId, const char* path) {
    VirtualProductOptions o;
    o.vendorId = 0x1D50;
    o.productId = productId;
    o.answerDelay = std::chrono::milliseconds(20);
    o.product.outputReportLength = kReportLength;
    o.product.inputReportLength = kReportLength;
    o.product.blockLength = kBlock;
    o.product.payloadSize = kPayload;
    Save(path, Package(o.vendorId, o.productId, kPayload, kBlock));
    return o;
}

// Stops serving the products and unplugs them; true when each took its whole payload.
bool Unplug(std::vector<std::unique_ptr<UhidProduct>>& products, std::vector<std::thread>& servers,
            std::atomic<bool>& stop) {
    stop = true;
    for (std::thread& t : servers)
        t.join();
    bool complete = true;
    for (const auto& p : products)
        complete = complete && p->Product().Payload().size() == kPayload;
    products.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the nodes go before the next round
    return complete;
}

double UpgradeAll(int count) {
    const char* path = "/tmp/bench-all.qeff";
    const VirtualProductOptions o = AnsweringProduct(0x6019, path);

    std::vector<std::unique_ptr<UhidProduct>> products;
    std::vector<std::thread> servers;
    std::atomic<bool> stop{false};
    for (int i = 0; i < count; ++i) {
        VirtualProductOptions each = o;
        each.serial = "BENCH-" + std::to_string(i);  // products of a line, each its own
        products.push_back(std::make_unique<UhidProduct>(each));
        servers.push_back(ServeInBackground(*products.back(), stop));
    }
    const auto hid = MakeHidrawSystem();
    for (int tries = 0; tries < 500 && static_cast<int>(FindAllProducts(*hid, o.vendorId, o.productId).size()) < count;
         ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    UpgradeOptions options;
    options.package = path;
    options.all = true;
    options.wait = std::chrono::milliseconds(0);
    Silent out;
    const std::atomic<bool> never{false};
    const auto start = Clock::now();
    const Outcome outcome = RunUpgrade(options, *hid, out, never);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool complete = outcome == Outcome::Upgraded && Unplug(products, servers, stop);
    std::printf("qefftool upgrade --all, %d product%s: %.3f s, %.0f bytes/s in all%s\n", count, count > 1 ? "s" : "",
                seconds, static_cast<double>(kPayload) * count / seconds, complete ? "" : " (FAILED)");
    return complete ? seconds : -1;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// qefftool watch, already waiting, as `count` products are plugged in
// together: the CPU it took while it waited alone, the time from the
// products' arrival to the first one's first report, and to the end of the
// last one's upgrade; negative when an upgrade failed.
double StationArrivals(int count) {
    const char* path = "/tmp/bench-station.qeff";
    const VirtualProductOptions o = AnsweringProduct(0x601A, path);

    const auto hid = MakeHidrawSystem();
    StationOptions options;
    options.package = path;
    options.limits.count = static_cast<std::size_t>(count);
    DiscardedLines discarded;
    StationThread station(options, *hid, NativeHidArrivals(), discarded.out);
    const double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // waiting, nothing plugged in
    const double waitingCpu = CpuSeconds() - cpuBefore;

    std::vector<std::unique_ptr<UhidProduct>> products;
    std::vector<std::thread> servers;
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        VirtualProductOptions each = o;
        each.serial = "BENCH-" + std::to_string(i);  // products of a line, each its own
        products.push_back(std::make_unique<UhidProduct>(each));
        servers.push_back(ServeInBackground(*products.back(), stop));
    }
    while (products.front()->ReportsReceived() == 0 && Clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double firstReport = std::chrono::duration<double>(Clock::now() - start).count();
    const bool upgraded = station.Finish(std::chrono::minutes(2)) == Outcome::Upgraded;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool complete = upgraded && Unplug(products, servers, stop);
    std::printf("qefftool watch, %d product%s plugged in%s: CPU while waiting %.1f ms in 2 s, first report "
                "%.0f ms after the first product was plugged in, all upgraded in %.3f s%s\n",
                count, count > 1 ? "s" : "", count > 1 ? " together" : "", waitingCpu * 1000, firstReport * 1000,
                seconds, complete ? "" : " (FAILED)");
    return complete ? seconds : -1;
}

// A product on one transport, served in the background for a measurement.
class Served {
public:
    Served(bool gadget, const VirtualProductOptions& o) {
        if (gadget)
            product_ = std::make_unique<GadgetProduct>(o);
        else
            product_ = std::make_unique<UhidProduct>(o);
        if (!product_->Error().empty())
            return;
        server_ = ServeInBackground(*product_, stop_);
    }
    ~Served() {
        stop_ = true;
        if (server_.joinable())
            server_.join();
        product_.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its node goes before the next one comes
    }
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;
    std::string Error() const { return product_->Error(); }

private:
    std::unique_ptr<VirtualProduct> product_;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

std::string onlyWay;  // all three when empty

struct Rates {
    double bare = 0, quiet = 0, window = 0;               // the best of the runs
    std::vector<double> quietOfBare, windowOfBare;         // each run against its own bare loop
};

// The emulated machine has spells in which the bare loop slows by about a
// tenth and the transfer over the gadget, which hands each report to a thread
// of its own, by far more, window or not (the host running the emulator's
// threads on one CPU brings them on). The transfer without the window shows
// them: the runs where it kept this share of its bare loop are the ones where
// the window's figure measures the window.
constexpr double kSteady = 0.9;

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The three ways, kRuns times each, on one product; the best rate of each, in reports per second.
bool Measure(bool gadget, std::uint32_t block, TForm1& form, Rates& best) {
    VirtualProductOptions o;
    o.productId = 0x6020;
    o.product.outputReportLength = kReportLength;
    o.product.inputReportLength = kReportLength;
    o.product.blockLength = block;
    o.product.payloadSize = std::size_t{1} << 40;  // blocks end by count, run after run
    Served product(gadget, o);
    if (!product.Error().empty()) {
        std::fprintf(stderr, "bench: %s\n", product.Error().c_str());
        return false;
    }
    const auto hid = MakeHidrawSystem();
    std::unique_ptr<HidDevice> device;
    for (int tries = 0; tries < 500 && !device; ++tries) {
        FindProduct(*hid, o.vendorId, o.productId, device);
        if (!device)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto found = FindAllProducts(*hid, o.vendorId, o.productId);
    if (!device || found.empty()) {
        std::fprintf(stderr, "bench: the product's hidraw node did not appear\n");
        return false;
    }
    const int fd = ::open(found.front().path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const std::size_t payload = kReports * (kReportLength - 1);
    const auto package = Package(o.vendorId, o.productId, payload, block);
    Save(form.OpenDialog1.FileName.c_str(), package);
    const std::size_t perAck = block / (kReportLength - 1);
    const auto rate = [](Clock::time_point start) {
        return static_cast<double>(kReports) / std::chrono::duration<double>(Clock::now() - start).count();
    };
    bool ok = fd >= 0;
    for (int run = 0; run < kRuns && ok; ++run) {
        // Nothing of the utility: the same reports and acknowledgements.
        std::vector<std::uint8_t> report(kReportLength, 0), answer(kReportLength);
        const bool bare = onlyWay.empty() || onlyWay == "bare";
        auto start = Clock::now();
        for (std::size_t i = 0; i < kReports && ok && bare; ++i) {
            report[1] = static_cast<std::uint8_t>(i);
            ok = ::write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
            if ((i + 1) % perAck == 0) {
                pollfd p{fd, POLLIN, 0};
                ok = ok && ::poll(&p, 1, 300) == 1 && ::read(fd, answer.data(), answer.size()) > 0;
            }
        }
        const double bareRate = bare ? rate(start) : 0;
        best.bare = std::max(best.bare, bareRate);

        if (onlyWay.empty() || onlyWay == "quiet") {
            QuietView view;
            start = Clock::now();
            TransferFirmware(view, *device, std::make_unique<PackageBytes>(package));
            const double quietRate = rate(start);
            best.quiet = std::max(best.quiet, quietRate);
            if (bare)
                best.quietOfBare.push_back(quietRate / bareRate);
            ok = ok && view.last == "Firmware upgraded successfully";
        }
        if (!onlyWay.empty() && onlyWay != "window")
            continue;

        auto& messages = static_cast<CountingMessages&>(form.Messages);
        messages.last.clear();
        start = Clock::now();
        UploadFirmware(form.Behaviour, *device);
        const double windowRate = rate(start);
        best.window = std::max(best.window, windowRate);
        if (bare)
            best.windowOfBare.push_back(windowRate / bareRate);
        ok = ok && messages.last == "Firmware upgraded successfully";
    }
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        std::fprintf(stderr, "bench: an exchange failed\n");
    return ok;
}

}  // namespace

bool Station();

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // "kernel_transfer_bench gadget 4096 [bare|quiet|window]" measures that one
    // case alone, and one way of it (for strace -c or perf); "kernel_transfer_bench
    // station" the station alone.
    if (argc == 2 && std::string(argv[1]) == "station")
        return Station() ? 0 : 1;
    const std::string onlyTransport = argc > 2 ? argv[1] : "";
    onlyWay = argc > 3 ? argv[3] : "";
    const std::uint32_t onlyBlock = argc > 2 ? static_cast<std::uint32_t>(std::stoul(argv[2])) : 0;
    CountingMessages messages;
    FixedDialog dialog;
    dialog.FileName = "/tmp/bench.qeff";
    const auto unused = MakeHidrawSystem();
    TForm1 form(messages, dialog, *unused);
    form.show();
    QApplication::processEvents();

    bool ok = true;
    for (const bool gadget : {false, true}) {
        for (const std::uint32_t block : {64u, 4096u}) {
            if (!onlyTransport.empty() && (onlyTransport != (gadget ? "gadget" : "uhid") || onlyBlock != block))
                continue;
            Rates best;
            ok = Measure(gadget, block, form, best) && ok;
            std::vector<double> steadyWindow;
            for (std::size_t i = 0; i < best.windowOfBare.size() && i < best.quietOfBare.size(); ++i)
                if (best.quietOfBare[i] >= kSteady)
                    steadyWindow.push_back(best.windowOfBare[i]);
            std::printf("%-6s BlockLength %4u, best of %d: bare loop %6.0f reports/s; transfer without the window "
                        "%6.0f (%.3f of bare); in the window %6.0f (%.3f of bare); run by run, median: %.3f and %.3f; "
                        "in the %zu runs where the transfer without the window kept %.2f of bare: %.3f\n",
                        gadget ? "gadget" : "uhid", block, kRuns, best.bare, best.quiet, best.quiet / best.bare,
                        best.window, best.window / best.bare, Median(best.quietOfBare), Median(best.windowOfBare),
                        steadyWindow.size(), kSteady, Median(steadyWindow));
            std::fflush(stdout);
        }
    }

    if (!onlyTransport.empty())
        return ok ? 0 : 1;
    const double one = UpgradeAll(1), two = UpgradeAll(2), four = UpgradeAll(4);
    if (one < 0 || two < 0 || four < 0) {
        std::fprintf(stderr, "bench: an upgrade with --all failed\n");
        return 1;
    }
    std::printf("qefftool upgrade --all: 2 products take %.2f times as long as 1, 4 products %.2f times\n",
                two / one, four / one);
    return Station() && ok ? 0 : 1;
}

// The station with 1, 2, 4 and 8 products plugged in together.
bool Station() {
    const double alone = StationArrivals(1), pair = StationArrivals(2), quad = StationArrivals(4),
                 eight = StationArrivals(8);
    if (alone < 0 || pair < 0 || quad < 0 || eight < 0) {
        std::fprintf(stderr, "bench: an upgrade by the station failed\n");
        return false;
    }
    std::printf("qefftool watch: 2 products plugged in together take %.2f times as long as 1, 4 products %.2f times, "
                "8 products %.2f times\n",
                pair / alone, quad / alone, eight / alone);
    return true;
}
