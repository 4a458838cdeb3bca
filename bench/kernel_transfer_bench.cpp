// Runs inside a guest kernel (scripts/kernel-bench.sh boots one): the utility's
// transfer against a uhid product, side by side with a bare write/poll/read
// loop on the same hidraw node in the same boot. One report per block, so each
// report is one round trip in both. Prints round trips per second and the ratio.
// Then qefftool's upgrade --all with 1, 2 and 4 products that each take 20 ms
// to answer a block, as products writing their flash do: total time, bytes per
// second, and how much longer four products take than one.

#include "device/device_discovery.h"
#include "device/firmware_transfer.h"
#include "package/package_bytes.h"
#include "package/package_header.h"
#include "upgrade_command.h"
#include "virtual_product.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include "platform/hid_linux.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReportLength = 65;
constexpr std::size_t kRoundTrips = 20000;
constexpr int kRuns = 5;

class QuietView final : public TransferView {
public:
    std::string last;
    int gaugeMoves = 0;
    void SetGauge(int) override { ++gaugeMoves; }
    void ShowMessage(const std::string& text, const std::string&, MessageStyle) override { last = text; }
    void ProcessPendingEvents() override {}
};

std::vector<std::uint8_t> Package(std::uint16_t vid, std::uint16_t pid, std::size_t payload) {
    std::vector<std::uint8_t> p(qeff::HeaderSize + payload, 0);
    std::copy(qeff::Signature.begin(), qeff::Signature.end(), p.begin());
    const std::uint32_t block = kReportLength - 1;
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

double PerSecond(std::size_t count, Clock::duration took) {
    return static_cast<double>(count) / std::chrono::duration<double>(took).count();
}

// Nothing to show: the benchmark only times the upgrade.
class Silent final : public UpgradeOutput {
public:
    void Package(const PackageSummary&) override {}
    void Found(const std::string&, std::size_t) override {}
    void Plan(const std::string&, const ReportLengths&, const TransferPlan&) override {}
    void Progress(const std::string&, std::uint64_t, std::uint64_t) override {}
    void Message(const std::string&, const std::string&, const std::string&, MessageStyle) override {}
    void Result(const std::string&, int) override {}
    void Summary(std::size_t, std::size_t, int) override {}
};

// qefftool upgrade --all against `count` products in the same boot; the
// seconds it took, or a negative number when an upgrade failed.
double UpgradeAll(int count) {
    constexpr std::size_t kPayload = 64 * 1024;
    constexpr std::uint32_t kBlock = 4096;  // 16 blocks: 320 ms of answering per product
    VirtualProductOptions o;
    o.vendorId = 0x1D50;
    o.productId = 0x6019;
    o.answerDelay = std::chrono::milliseconds(20);
    o.product.outputReportLength = kReportLength;
    o.product.inputReportLength = kReportLength;
    o.product.blockLength = kBlock;
    o.product.payloadSize = kPayload;
    auto package = Package(o.vendorId, o.productId, kPayload);
    for (int i = 0; i < 4; ++i)
        package[13 + i] = static_cast<std::uint8_t>(kBlock >> (8 * i));
    const char* path = "/tmp/bench-all.qeff";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(package.data()),
                                               static_cast<std::streamsize>(package.size()));

    std::vector<std::unique_ptr<UhidProduct>> products;
    std::vector<std::thread> servers;
    std::atomic<bool> stop{false};
    for (int i = 0; i < count; ++i) {
        products.push_back(std::make_unique<UhidProduct>(o));
        UhidProduct& p = *products.back();
        servers.emplace_back([&p, &stop] {
            sched_param s{};
            s.sched_priority = 50;
            (void)sched_setscheduler(0, SCHED_FIFO, &s);
            p.Serve(stop);
        });
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
    const int code = RunUpgrade(options, *hid, out, never);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (std::thread& t : servers)
        t.join();
    bool complete = code == 0;
    for (const auto& p : products)
        complete = complete && p->Product().Payload().size() == kPayload;
    products.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the nodes go before the next round
    std::printf("qefftool upgrade --all, %d product%s: %.3f s, %.0f bytes/s in all%s\n", count, count > 1 ? "s" : "",
                seconds, static_cast<double>(kPayload) * count / seconds, complete ? "" : " (FAILED)");
    return complete ? seconds : -1;
}

}  // namespace

int main() {
    VirtualProductOptions o;
    o.product.outputReportLength = kReportLength;
    o.product.inputReportLength = kReportLength;
    o.product.blockLength = kReportLength - 1;
    o.product.payloadSize = kRoundTrips * (kReportLength - 1);
    UhidProduct product(o);
    if (!product.Error().empty()) {
        std::fprintf(stderr, "bench: %s\n", product.Error().c_str());
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread server([&] {
        sched_param p{};
        p.sched_priority = 50;
        (void)sched_setscheduler(0, SCHED_FIFO, &p);
        product.Serve(stop);
    });

    const auto hid = MakeHidrawSystem();
    std::unique_ptr<HidDevice> device;
    for (int tries = 0; tries < 500 && !device; ++tries) {
        FindProduct(*hid, o.vendorId, o.productId, device);
        if (!device)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!device) {
        std::fprintf(stderr, "bench: the product's hidraw node did not appear\n");
        return 1;
    }
    std::string node;
    {
        const auto set = hid->PresentInterfaces();
        for (std::size_t i = 0; node.empty(); ++i) {
            const auto e = set->At(i);
            if (e.kind == InterfaceEntry::Kind::End)
                break;
            if (e.advertised && e.advertised->VendorId == o.vendorId)
                node = e.path;
        }
    }
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);

    const auto package = Package(o.vendorId, o.productId, o.product.payloadSize);
    double bestTransfer = 0, bestBare = 0;
    bool ok = true;
    for (int run = 0; run < kRuns && ok; ++run) {
        product.StartOver();
        QuietView view;
        auto start = Clock::now();
        TransferFirmware(view, *device, std::make_unique<PackageBytes>(package));
        const double transfer = PerSecond(kRoundTrips, Clock::now() - start);
        ok = view.last == "Firmware upgraded successfully";

        // The same exchange with nothing of the utility in it.
        product.StartOver();
        std::vector<std::uint8_t> report(kReportLength, 0), answer(kReportLength);
        start = Clock::now();
        for (std::size_t i = 0; i < kRoundTrips && ok; ++i) {
            report[1] = static_cast<std::uint8_t>(i);
            ok = ::write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
            pollfd p{fd, POLLIN, 0};
            ok = ok && ::poll(&p, 1, 300) == 1 && ::read(fd, answer.data(), answer.size()) > 0;
        }
        const double bare = PerSecond(kRoundTrips, Clock::now() - start);
        std::printf("run %d: transfer %.0f round trips/s, bare loop %.0f round trips/s\n", run + 1, transfer, bare);
        bestTransfer = std::max(bestTransfer, transfer);
        bestBare = std::max(bestBare, bare);
    }
    stop = true;
    server.join();
    ::close(fd);
    if (!ok) {
        std::fprintf(stderr, "bench: an exchange failed\n");
        return 1;
    }
    std::printf("best of %d: transfer %.0f round trips/s, bare loop %.0f round trips/s, ratio %.3f\n", kRuns,
                bestTransfer, bestBare, bestTransfer / bestBare);

    const double one = UpgradeAll(1), two = UpgradeAll(2), four = UpgradeAll(4);
    if (one < 0 || two < 0 || four < 0) {
        std::fprintf(stderr, "bench: an upgrade with --all failed\n");
        return 1;
    }
    std::printf("qefftool upgrade --all: 2 products take %.2f times as long as 1, 4 products %.2f times\n",
                two / one, four / one);
    return 0;
}
