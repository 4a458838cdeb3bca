// Reports to and from a hidraw node, with stand-ins that open the same way: a
// FIFO hands over what was written and can be left full, as a product that
// stops taking reports; a terminal whose other side has closed fails as a node
// whose product has gone does (end of file on read, EIO on write).

#include "support/package_files.h"
#include "platform/hid_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// The bound of a call that ends on its own: a loaded machine may take long to
// schedule the writing thread, and the call returns as soon as it ends anyway.
constexpr auto kEndsOnItsOwn = 5s;

std::unique_ptr<HidDevice> Open(const std::filesystem::path& node) {
    return MakeHidrawSystem("/nonexistent", node.parent_path().string())->OpenDevice(node.string());
}

// How the node's device looks in sysfs.
enum class Transport {
    Usb,   // nothing known: writes wait for the product on a thread of their own
    Uhid,  // under uhid's misc device: writes are made in place until the node is full
};

// A FIFO node with the product's end open for reading, its buffer small, and a
// sysfs folder that tells its transport and may hold its report descriptor.
struct FifoNode {
    TempFolder dev, sys;
    std::filesystem::path node = dev / "hidraw0";
    int product = -1;

    explicit FifoNode(Transport transport = Transport::Usb, const std::vector<std::uint8_t>& descriptor = {}) {
        EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
        product = ::open(node.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(product, 0);
        ::fcntl(product, F_SETPIPE_SZ, 4096);
        const auto device = sys / (transport == Transport::Uhid ? "devices/virtual/misc/uhid/0003:1D50:6018.0001"
                                                                 : "devices/usb1/1-1/1-1:1.0/0003:1D50:6018.0001");
        std::filesystem::create_directories(device);
        std::filesystem::create_directories(sys / "class/hidraw/hidraw0");
        std::filesystem::create_directory_symlink(device, sys / "class/hidraw/hidraw0/device");
        if (!descriptor.empty())
            std::ofstream(device / "report_descriptor", std::ios::binary)
                .write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
    }
    ~FifoNode() { ::close(product); }

    std::unique_ptr<HidDevice> Open() const {
        return MakeHidrawSystem((sys / "class/hidraw").string(), dev.Path().string())->OpenDevice(node.string());
    }

    // Whether the writing side has closed the node within `patience`, with the product reading nothing.
    bool ClosedByTheWriter(std::chrono::milliseconds patience) const {
        for (const auto until = Clock::now() + patience; Clock::now() < until;) {
            pollfd p{product, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

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

class HidrawWrite : public testing::TestWithParam<Transport> {};
INSTANTIATE_TEST_SUITE_P(Transports, HidrawWrite, testing::Values(Transport::Usb, Transport::Uhid),
                         [](const auto& info) { return info.param == Transport::Usb ? "Usb" : "Uhid"; });

// Fault caught: a node opened blocking makes a write made in place wait for the
// product without bound.
TEST_P(HidrawWrite, AProductThatStopsTakingReportsCostsEachWriteItsBoundAndLosesNone) {
    FifoNode fifo(GetParam());
    auto device = fifo.Open();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->WriteReport(Report(1), kEndsOnItsOwn), IoOutcome::Signalled);
    fifo.Fill();
    // Should a write wait on the product, the product reads again after 2 s.
    std::atomic<bool> done{false};
    std::thread rescue([&] {
        for (const auto until = Clock::now() + 2s; !done && Clock::now() < until;)
            std::this_thread::sleep_for(10ms);
        if (!done)
            fifo.Drain(0ms);
    });
    for (std::uint8_t mark : {2, 3}) {
        const auto start = Clock::now();
        EXPECT_EQ(device->WriteReport(Report(mark), 50ms), IoOutcome::TimedOut);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 50ms);
        EXPECT_LT(took, 1s) << "never waited on the product";
    }
    done = true;
    rescue.join();
    // The product reads again: the reports that timed out still go out, in order.
    const auto taken = fifo.Drain(300ms);
    ASSERT_GE(taken.size(), 65u * 2);
    EXPECT_EQ(CountOf(taken, 2), 65u);
    EXPECT_EQ(CountOf(taken, 3), 65u);
    EXPECT_EQ(std::vector<std::uint8_t>(taken.end() - 130, taken.end() - 65), Report(2));
    EXPECT_EQ(device->WriteReport(Report(4), kEndsOnItsOwn), IoOutcome::Signalled);
}

// The writing thread and the caller hand each report and its end to each
// other: a wake-up lost either way leaves a write to run out its bound.
TEST_P(HidrawWrite, ReportsInARowEachEndAndArriveInOrder) {
    FifoNode fifo(GetParam());
    auto device = fifo.Open();
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

// Faults caught: a cancel that drops nothing (reports go on going out while the
// time-out box is shown); a writing thread that ignores closing while it holds
// a report (it and the node are kept for as long as the product takes nothing).
TEST_P(HidrawWrite, CancelledAndClosedReportsNeverReachTheProduct) {
    FifoNode fifo(GetParam());
    auto device = fifo.Open();
    ASSERT_NE(device, nullptr);
    fifo.Fill();
    EXPECT_EQ(device->WriteReport(Report(1), 20ms), IoOutcome::TimedOut);  // waits for room
    EXPECT_EQ(device->WriteReport(Report(2), 20ms), IoOutcome::TimedOut);  // waits its turn
    device->CancelPendingIo();
    // The product reads again, the device still open: the report in hand goes out, the cancelled one never.
    auto taken = fifo.Drain(300ms);
    EXPECT_EQ(CountOf(taken, 1), 65u);
    EXPECT_EQ(CountOf(taken, 2), 0u) << "cancelled, yet sent";
    EXPECT_EQ(device->WriteReport(Report(3), kEndsOnItsOwn), IoOutcome::Signalled);

    fifo.Fill();
    EXPECT_EQ(device->WriteReport(Report(4), 20ms), IoOutcome::TimedOut);
    EXPECT_EQ(device->WriteReport(Report(5), 20ms), IoOutcome::TimedOut);
    // Closing does not wait for the product; the node is closed though the
    // product takes nothing more, and what was not sent never is.
    const auto start = Clock::now();
    device.reset();
    EXPECT_LT(Clock::now() - start, 500ms) << "closing waited on the product";
    EXPECT_TRUE(fifo.ClosedByTheWriter(1s)) << "a writing thread still waits for room after the close";
    taken = fifo.Drain(100ms);
    EXPECT_EQ(CountOf(taken, 3), 65u);
    EXPECT_EQ(CountOf(taken, 4) + CountOf(taken, 5), 0u) << "sent after the device closed";
}

// The master side of a pseudo-terminal as the node, its slave side as the
// product. As with a product that leaves the bus, a closing product hangs the
// node up (POLLHUP) and what it wrote before is still read; and unlike a real
// node, reports written afterwards would reach whoever opens the slave next,
// so none may be.
struct PtyMasterNode {
    std::unique_ptr<HidDevice> device;
    int node = -1;  // the device's own descriptor, found among the process's
    int product = -1;

    PtyMasterNode() {
        const auto before = PtyMasters();
        device = Open("/dev/ptmx");
        for (const int fd : PtyMasters())
            if (std::find(before.begin(), before.end(), fd) == before.end())
                node = fd;
        char slave[128] = {};
        if (node < 0 || ::grantpt(node) != 0 || ::unlockpt(node) != 0 || ::ptsname_r(node, slave, sizeof slave) != 0)
            return;
        product = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        ::tcgetattr(product, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(product, TCSANOW, &raw);
    }
    ~PtyMasterNode() {
        if (product >= 0)
            ::close(product);
    }
    bool Ready() const { return device && product >= 0; }
    void Leave() {
        ::close(product);
        product = -1;
    }

    static std::vector<int> PtyMasters() {
        std::vector<int> found;
        for (int fd = 0; fd < 1024; ++fd) {
            char target[64] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).find("ptmx") != std::string::npos)
                found.push_back(fd);
        }
        return found;
    }
};

// Faults caught: the product's loss not recorded, and reports queued after the
// product has gone: both send what was waiting to whatever takes the node next.
TEST(HidrawWrite, NothingIsSentOnceTheProductHasGone) {
    PtyMasterNode pty;
    if (!pty.Ready())
        GTEST_SKIP() << "no pseudo-terminals here";
    ASSERT_TRUE(::fcntl(pty.node, F_GETFL) & O_NONBLOCK) << "a node opened blocking would hold this test up";
    // The terminal refuses more while the kernel has yet to hand what it holds
    // to the product's side, and takes more again once it has: full only when
    // that side holds all it can (4095 bytes, its 4096 less one) and more is refused.
    const std::vector<std::uint8_t> filler(4096, 0xFF);
    int refused = 0;
    for (const auto until = Clock::now() + 5s; refused < 2 && Clock::now() < until;) {
        int held = 0;
        const bool sideFull = ::ioctl(pty.product, FIONREAD, &held) == 0 && held >= 4095;
        const bool took = ::write(pty.node, filler.data(), filler.size()) > 0;
        refused = sideFull && !took ? refused + 1 : 0;
        if (!took)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(refused, 2) << "the terminal never filled";
    EXPECT_EQ(pty.device->WriteReport(Report(1), 20ms), IoOutcome::TimedOut);  // waits for room
    EXPECT_EQ(pty.device->WriteReport(Report(2), 20ms), IoOutcome::TimedOut);  // waits its turn
    pty.Leave();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(pty.device->WriteReport(Report(3), kEndsOnItsOwn), IoOutcome::Abandoned);
    char slave[128] = {};
    ASSERT_EQ(::ptsname_r(pty.node, slave, sizeof slave), 0);
    const int next = ::open(slave, O_RDONLY | O_NOCTTY | O_NONBLOCK);  // another takes the node
    ASSERT_GE(next, 0);
    EXPECT_EQ(pty.device->WriteReport(Report(4), kEndsOnItsOwn), IoOutcome::Abandoned);
    // Everything that reaches the node's new opener, the filler first.
    std::vector<std::uint8_t> taken;
    for (const auto until = Clock::now() + 200ms; Clock::now() < until;) {
        std::uint8_t chunk[4096];
        const ssize_t n = ::read(next, chunk, sizeof chunk);
        if (n > 0)
            taken.insert(taken.end(), chunk, chunk + n);
        else
            std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(CountOf(taken, 2) + CountOf(taken, 3) + CountOf(taken, 4), 0u) << "sent after the product had gone";
    ::close(next);
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
    EXPECT_EQ(device->WriteReport(Report(1), kEndsOnItsOwn), IoOutcome::Abandoned);
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
        EXPECT_EQ(slices >= 4, sliced);
    }
    over = true;
    interrupter.join();
    ::close(product);
    ::sigaction(SIGUSR1, &before, nullptr);
}

// A vendor-defined product's descriptor: 64-byte input and output reports, with or without report ID 1.
std::vector<std::uint8_t> VendorDescriptor(bool reportId) {
    std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (reportId)
        d.insert(d.end(), {0x85, 0x01});
    d.insert(d.end(), {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01,
                       0x91, 0x02, 0xC0});
    return d;
}

// Fault caught: the 0 report ID put in front only for a product whose
// descriptor is unknown, not for one known to have no report IDs.
TEST(HidrawRead, AReportReadsAlikeWithOrWithoutReportIdsAndAShortOneLeavesNothingBehind) {
    const std::uint8_t ack[8] = {0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0};
    const std::uint8_t shorter[2] = {0x01, 0x02};
    for (const auto& [name, descriptor, withId] :
         {std::tuple{"descriptor unknown", std::vector<std::uint8_t>{}, false},
          std::tuple{"no report IDs", VendorDescriptor(false), false},
          std::tuple{"report ID 1", VendorDescriptor(true), true}}) {
        SCOPED_TRACE(name);
        FifoNode fifo(Transport::Usb, descriptor);
        const auto device = fifo.Open();
        ASSERT_NE(device, nullptr);
        const int product = ::open(fifo.node.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(product, 0);
        // The kernel delivers the report ID only for a product that has them.
        const auto deliver = [&, withId = withId](const std::uint8_t* bytes, std::size_t n) {
            std::vector<std::uint8_t> report;
            if (withId)
                report.push_back(1);
            report.insert(report.end(), bytes, bytes + n);
            ASSERT_EQ(::write(product, report.data(), report.size()), static_cast<ssize_t>(report.size()));
        };
        const std::uint8_t id = withId ? 1 : 0;
        deliver(ack, sizeof ack);
        std::vector<std::uint8_t> report(9, 0xEE);
        ASSERT_EQ(device->ReadReport(report, 300ms), IoOutcome::Signalled);
        EXPECT_EQ(report, (std::vector<std::uint8_t>{id, 0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0}));
        deliver(shorter, sizeof shorter);
        ASSERT_EQ(device->ReadReport(report, 300ms), IoOutcome::Signalled);
        EXPECT_EQ(report, (std::vector<std::uint8_t>{id, 0x01, 0x02, 0, 0, 0, 0, 0, 0}));
        ::close(product);
    }
}

// A node that answers no hidraw request is told of by its HID device's uevent;
// the release number is its USB device's, two folders up.
// Faults caught: the serial number and the location swapped, or not read; the
// release number read from the wrong folder, or made up for uhid's devices.
TEST(HidrawIdentity, SerialNumberAndLocationComeFromTheHidDevice) {
    for (const Transport transport : {Transport::Usb, Transport::Uhid}) {
        SCOPED_TRACE(transport == Transport::Usb ? "usb" : "uhid");
        FifoNode fifo(transport);
        const auto device = std::filesystem::canonical(fifo.sys / "class/hidraw/hidraw0/device");
        std::ofstream(device / "uevent") << "DRIVER=hid-generic\nHID_ID=0003:00001D50:00006018\nHID_NAME=Quorvella\n"
                                            "HID_PHYS=usb-0000:00:14.0-3.2/input0\nHID_UNIQ=00A7\nMODALIAS=hid:b0003\n";
        if (transport == Transport::Usb) {
            std::ofstream(device.parent_path() / "bInterfaceNumber") << "00\n";
            std::ofstream(device.parent_path() / "bcdDevice") << "0100\n";  // not the interface's
            std::ofstream(device.parent_path().parent_path() / "bcdDevice") << "0213\n";
        }
        std::ofstream(device.parent_path().parent_path().parent_path() / "bcdDevice") << "0601\n";  // a hub's
        const auto opened = fifo.Open();
        ASSERT_NE(opened, nullptr);
        const DeviceIdentity identity = opened->Identity();
        EXPECT_EQ(identity.serial, "00A7");
        EXPECT_EQ(identity.location, "usb-0000:00:14.0-3.2/input0");
        if (transport == Transport::Usb)
            EXPECT_EQ(identity.release, std::optional<std::uint16_t>(0x0213));
        else
            EXPECT_FALSE(identity.release.has_value()) << "uhid's devices are on no USB device";
    }
}

// Fault caught: the serial number read into the location, or the location
// into the serial number, on a node that answers its hidraw requests.
TEST(HidrawIdentity, ANodeTellsItsSerialNumberAndLocationEachToItsRequest) {
    const auto answer = [](const char* uniq, const char* phys) {
        return [uniq, phys](unsigned long request, void* argument) {
            const char* text = _IOC_NR(request) == _IOC_NR(HIDIOCGRAWUNIQ(0))   ? uniq
                               : _IOC_NR(request) == _IOC_NR(HIDIOCGRAWPHYS(0)) ? phys
                                                                                : nullptr;
            if (!text || _IOC_TYPE(request) != 'H')
                return -1;
            std::snprintf(static_cast<char*>(argument), _IOC_SIZE(request), "%s", text);
            return static_cast<int>(std::strlen(text)) + 1;
        };
    };
    const auto identity = IdentityFromNode(answer("QV-0001", "usb-0000:00:14.0-3.2/input0"));
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(identity->serial, "QV-0001");
    EXPECT_EQ(identity->location, "usb-0000:00:14.0-3.2/input0");
    EXPECT_FALSE(IdentityFromNode([](unsigned long, void*) { return -1; }).has_value())
        << "a node that answers nothing is told of another way";
}

// Fault caught: the hang-up taken for the product's loss before the report that
// waits is read; a product that restarts into its new firmware right after its
// last acknowledgement would be told it failed.
TEST(HidrawRead, AnAnswerLeftByAProductThatHasGoneIsStillRead) {
    PtyMasterNode pty;
    if (!pty.Ready())
        GTEST_SKIP() << "no pseudo-terminals here";
    const std::uint8_t ack[8] = {0x77, 0x77, 0x77, 0x77, 0x01, 0, 0, 0};
    ASSERT_EQ(::write(pty.product, ack, sizeof ack), 8);
    pty.Leave();
    std::vector<std::uint8_t> report(9);
    ASSERT_EQ(pty.device->ReadReport(report, 300ms), IoOutcome::Signalled);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x77, 0x77, 0x77, 0x77, 0x01, 0, 0, 0}));
    EXPECT_EQ(pty.device->ReadReport(report, 300ms), IoOutcome::Abandoned);
}

}  // namespace
