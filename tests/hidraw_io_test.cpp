// Reports to and from a hidraw node, with stand-ins that open the same way: a
// FIFO hands over what was written and can be left full, as a product that
// stops taking reports; a terminal whose other side has closed fails as a node
// whose product has gone does (end of file on read, EIO on write).

#include "package_files.h"
#include "platform/hid_linux.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<HidDevice> Open(const std::filesystem::path& node) {
    return MakeHidrawSystem("/nonexistent", node.parent_path().string())->OpenDevice(node.string());
}

// A FIFO node with the product's end open for reading, its buffer small.
struct FifoNode {
    TempFolder dev;
    std::filesystem::path node = dev / "hidraw0";
    int product = -1;

    FifoNode() {
        EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
        product = ::open(node.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(product, 0);
        ::fcntl(product, F_SETPIPE_SZ, 4096);
    }
    ~FifoNode() { ::close(product); }

    // Leaves no room for one more report, as a product that stopped reading.
    void Fill() const {
        const int writer = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
        const std::vector<std::uint8_t> filler(4096, 0xFF);
        while (::write(writer, filler.data(), filler.size()) > 0 || ::write(writer, filler.data(), 1) > 0) {
        }
        ::close(writer);
    }

    // Everything written so far, in order; waits up to `patience` for an end of file.
    std::vector<std::uint8_t> Drain(std::chrono::milliseconds patience, bool* ended = nullptr) const {
        std::vector<std::uint8_t> all;
        std::uint8_t chunk[4096];
        const auto until = Clock::now() + patience;
        for (;;) {
            const ssize_t n = ::read(product, chunk, sizeof chunk);
            if (n > 0) {
                all.insert(all.end(), chunk, chunk + n);
                continue;
            }
            if (n == 0 || Clock::now() > until) {
                if (ended)
                    *ended = n == 0;
                return all;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
};

std::vector<std::uint8_t> Report(std::uint8_t mark) { return std::vector<std::uint8_t>(65, mark); }

std::size_t CountOf(const std::vector<std::uint8_t>& bytes, std::uint8_t mark) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), mark));
}

TEST(HidrawWrite, AProductThatStopsTakingReportsCostsEachWriteItsBoundAndLosesNone) {
    FifoNode fifo;
    auto device = Open(fifo.node);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->WriteReport(Report(1), 50ms), IoOutcome::Signalled);
    fifo.Fill();
    for (std::uint8_t mark : {2, 3}) {
        const auto start = Clock::now();
        EXPECT_EQ(device->WriteReport(Report(mark), 50ms), IoOutcome::TimedOut);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 50ms);
        EXPECT_LT(took, 1s) << "never waited on the product";
    }
    // The product reads again: the reports that timed out still go out, in order.
    const auto taken = fifo.Drain(300ms);
    ASSERT_GE(taken.size(), 65u * 3);
    EXPECT_EQ(CountOf(taken, 2), 65u);
    EXPECT_EQ(CountOf(taken, 3), 65u);
    EXPECT_EQ(std::vector<std::uint8_t>(taken.end() - 130, taken.end() - 65), Report(2));
    EXPECT_EQ(device->WriteReport(Report(4), 50ms), IoOutcome::Signalled);
}

// The writing thread and the caller hand each report and its end to each
// other: a wake-up lost either way leaves a write to run out its bound.
TEST(HidrawWrite, ReportsInARowEachEndAndArriveInOrder) {
    FifoNode fifo;
    auto device = Open(fifo.node);
    ASSERT_NE(device, nullptr);
    constexpr int kReports = 2000;
    constexpr std::size_t kBytes = std::size_t{65} * kReports;
    std::vector<std::uint8_t> taken;
    std::thread product([&] {
        std::uint8_t chunk[4096];
        const auto until = Clock::now() + 10s;
        while (taken.size() < kBytes && Clock::now() < until) {
            const ssize_t n = ::read(fifo.product, chunk, sizeof chunk);
            if (n > 0)
                taken.insert(taken.end(), chunk, chunk + n);
            else
                std::this_thread::yield();
        }
    });
    int ended = 0;
    while (ended < kReports && device->WriteReport(Report(static_cast<std::uint8_t>(ended)), 1s) == IoOutcome::Signalled)
        ++ended;
    product.join();
    EXPECT_EQ(ended, kReports);
    ASSERT_EQ(taken.size(), kBytes);
    for (int i = 0; i < kReports; ++i)
        ASSERT_EQ(taken[std::size_t{65} * i], static_cast<std::uint8_t>(i)) << "report " << i;
}

TEST(HidrawWrite, CancelledAndClosedReportsNeverReachTheProduct) {
    FifoNode fifo;
    auto device = Open(fifo.node);
    ASSERT_NE(device, nullptr);
    fifo.Fill();
    EXPECT_EQ(device->WriteReport(Report(1), 20ms), IoOutcome::TimedOut);  // waits for room
    EXPECT_EQ(device->WriteReport(Report(2), 20ms), IoOutcome::TimedOut);  // waits its turn
    device->CancelPendingIo();
    EXPECT_EQ(device->WriteReport(Report(3), 20ms), IoOutcome::TimedOut);
    // Closing does not wait for the product, and what was not started is dropped.
    const auto start = Clock::now();
    device.reset();
    EXPECT_LT(Clock::now() - start, 20ms);
    bool ended = false;
    const auto taken = fifo.Drain(2s, &ended);
    EXPECT_TRUE(ended) << "the node is closed once nothing is in flight";
    EXPECT_EQ(CountOf(taken, 2), 0u) << "cancelled";
    EXPECT_EQ(CountOf(taken, 3), 0u) << "queued when the device closed";
}

// A terminal whose other side has closed: reads end of file, writes fail with EIO.
struct HungUpNode {
    std::filesystem::path node;
    int master = -1;
    HungUpNode() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            node = ::ptsname(master);
    }
    void HangUp() {
        ::close(master);
        master = -1;
    }
    ~HungUpNode() {
        if (master >= 0)
            ::close(master);
    }
};

TEST(HidrawGone, EndOfFileAndEioMeanTheProductHasGone) {
    HungUpNode tty;
    if (tty.node.empty())
        GTEST_SKIP() << "no pseudo-terminals here";
    auto device = Open(tty.node);
    ASSERT_NE(device, nullptr);
    std::vector<std::uint8_t> ack(65);
    EXPECT_EQ(device->ReadReport(ack, 10ms), IoOutcome::TimedOut);
    tty.HangUp();
    errno = 0;  // the read itself must tell the end, not what an earlier call left
    EXPECT_EQ(device->ReadReport(ack, 300ms), IoOutcome::Abandoned);
    EXPECT_EQ(device->WriteReport(Report(1), 300ms), IoOutcome::Abandoned);
    const auto start = Clock::now();
    EXPECT_EQ(device->WriteReport(Report(2), 300ms), IoOutcome::Abandoned) << "and stays gone";
    EXPECT_LT(Clock::now() - start, 300ms) << "nothing waits for a product that has gone";
}

void Ignore(int) {}

TEST(HidrawRead, SignalsAndSlicesNeitherFailNorStretchNorShortenTheWait) {
    FifoNode fifo;
    auto device = Open(fifo.node);
    ASSERT_NE(device, nullptr);
    struct sigaction action {};
    action.sa_handler = Ignore;  // no SA_RESTART: poll() returns EINTR
    struct sigaction before {};
    ::sigaction(SIGUSR1, &action, &before);
    const pthread_t reader = ::pthread_self();
    std::atomic<bool> over{false};
    const int product = ::open(fifo.node.c_str(), O_WRONLY | O_NONBLOCK);
    std::thread interrupter([&] {
        for (int i = 0; !over; ++i) {
            ::pthread_kill(reader, SIGUSR1);
            if (i == 20) {
                const std::uint8_t ack[64] = {0x77, 0x77, 0x77, 0x77, 0x01};
                EXPECT_EQ(::write(product, ack, sizeof ack), 64);
            }
            std::this_thread::sleep_for(5ms);
        }
    });
    std::vector<std::uint8_t> report(65);
    EXPECT_EQ(device->ReadReport(report, 1000ms), IoOutcome::Signalled);
    EXPECT_EQ(report[1], 0x77);
    for (const bool sliced : {false, true}) {
        int slices = 0;
        const auto start = Clock::now();
        EXPECT_EQ(device->ReadReport(report, 200ms, sliced ? WhileWaiting([&] { ++slices; }) : WhileWaiting()),
                  IoOutcome::TimedOut);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 200ms) << "given up early";
        EXPECT_LT(took, 1s);
        EXPECT_EQ(slices > 0, sliced);
    }
    over = true;
    interrupter.join();
    ::close(product);
    ::sigaction(SIGUSR1, &before, nullptr);
}

// A FIFO stands in for a hidraw node: it opens the same way and hands over
// what was written, so the read path runs for real.
TEST(HidrawRead, AShortReportLeavesNothingOfTheLastOneBehind) {
    TempFolder dev;
    const auto node = dev / "hidraw0";
    ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
    const auto device = MakeHidrawSystem("/nonexistent", dev.Path().string())->OpenDevice(node.string());
    ASSERT_NE(device, nullptr);
    const int product = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(product, 0);

    // No report IDs here: the backend puts the 0 in front.
    const std::uint8_t ack[8] = {0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0};
    ASSERT_EQ(::write(product, ack, sizeof ack), static_cast<ssize_t>(sizeof ack));
    std::vector<std::uint8_t> report(9, 0xEE);
    ASSERT_EQ(device->ReadReport(report, std::chrono::milliseconds(300)), IoOutcome::Signalled);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0}));

    const std::uint8_t shorter[2] = {0x01, 0x02};
    ASSERT_EQ(::write(product, shorter, sizeof shorter), 2);
    ASSERT_EQ(device->ReadReport(report, std::chrono::milliseconds(300)), IoOutcome::Signalled);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x01, 0x02, 0, 0, 0, 0, 0, 0}));

    // Nothing comes: the whole bound is waited, in slices with the caller's
    // work between them.
    const auto begin = std::chrono::steady_clock::now();
    int slices = 0;
    EXPECT_EQ(device->ReadReport(report, std::chrono::milliseconds(300), [&] { ++slices; }), IoOutcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    EXPECT_GE(slices, 4);
    ::close(product);
}

}  // namespace
