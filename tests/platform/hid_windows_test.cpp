// The Windows backend against the HID devices Wine itself provides (a mouse
// 845E:0001 and a keyboard 845E:0002), and against nothing at all.

#include "device/device_discovery.h"
#include "device/firmware_transfer.h"
#include "support/package_files.h"
#include "platform/hid_windows.h"
#include "support/transfer_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <windows.h>

namespace {

constexpr std::uint16_t kWineVendor = 0x845E, kWineMouse = 0x0001;

DWORD OpenHandles() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

TEST(WindowsHid, DiscoveryCountsTheInterfacesAndClosesWhatItOpened) {
    const auto hid = MakeWindowsHidSystem();
    std::unique_ptr<HidDevice> device;
    FindProduct(*hid, 0xFFFF, 0xFFFE, device);  // settle what the first use sets up
    const DWORD before = OpenHandles();
    const int seen = FindProduct(*hid, 0xFFFF, 0xFFFE, device);
    EXPECT_EQ(device, nullptr);
    EXPECT_GE(seen, 2) << "Wine's own mouse and keyboard at least";
    EXPECT_EQ(OpenHandles(), before) << "every handle opened on the way was closed";
}

// Fault caught: a release number made up for a product on no USB bus (Wine's
// mouse: its hardware IDs, "HID\\VID_845E&PID_0001", tell no REV_), as the HID
// attributes' version number would be.
TEST(WindowsHid, FindsTheMouseByItsIdsAndReadsItsReportLengths) {
    const auto hid = MakeWindowsHidSystem();
    std::unique_ptr<HidDevice> device;
    const int index = FindProduct(*hid, kWineVendor, kWineMouse, device);
    ASSERT_NE(device, nullptr) << "searched " << index << " interfaces";
    const auto ids = device->Attributes();
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->VendorId, kWineVendor);
    EXPECT_EQ(ids->ProductId, kWineMouse);
    const auto lengths = device->Capabilities();
    ASSERT_TRUE(lengths.has_value());
    EXPECT_GT(lengths->InputReportByteLength, 1u);
    EXPECT_FALSE(device->Identity().release.has_value()) << "on no USB bus";
}

TEST(WindowsHid, AReadNobodyAnswersTimesOutAndIsCancelled) {
    const auto hid = MakeWindowsHidSystem();
    std::unique_ptr<HidDevice> device;
    FindProduct(*hid, kWineVendor, kWineMouse, device);
    ASSERT_NE(device, nullptr);
    const auto lengths = device->Capabilities();
    ASSERT_TRUE(lengths.has_value());
    std::vector<std::uint8_t> report(std::max<std::size_t>(lengths->InputReportByteLength, 9));
    for (int round = 0; round < 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        int slices = 0;  // the caller's work between slices of the wait
        EXPECT_EQ(device->ReadReport(report, std::chrono::milliseconds(300), [&] { ++slices; }), IoOutcome::TimedOut);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(290));
        EXPECT_GE(slices, 4);
        EXPECT_LT(took, std::chrono::milliseconds(2000));
        device->CancelPendingIo();  // a cancelled read leaves the device ready for the next
    }
}

TEST(WindowsHid, ADeviceWithoutOutputReportsIsRefusedBeforeAnythingIsSent) {
    const auto hid = MakeWindowsHidSystem();
    std::unique_ptr<HidDevice> device;
    FindProduct(*hid, kWineVendor, kWineMouse, device);
    ASSERT_NE(device, nullptr);
    RecordingView view;
    TransferFirmware(view, *device, std::make_unique<MemoryPackage>(BuildPackage(SamplePackage())));
    EXPECT_EQ(view.messages, std::vector<std::string>{Msg("Error", "Device report length not supported!")});
}

// A named pipe opens like a HID device and, once full, leaves writes on their
// way, as a product that stops taking reports does.
class StalledProduct : public ::testing::Test {
protected:
    const char* name = "\\\\.\\pipe\\qeff-stalled-product";
    HANDLE product = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
    std::unique_ptr<HidDevice> device;
    std::vector<std::uint8_t> report = std::vector<std::uint8_t>(65);
    std::size_t sent = 0;

    void SetUp() override {
        ASSERT_NE(product, INVALID_HANDLE_VALUE);
        device = MakeWindowsHidSystem()->OpenDevice(name);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        device.reset();
        CloseHandle(product);
    }
    // Writes numbered reports until one is still on its way after its wait.
    void FillUntilAWriteWaits() {
        IoOutcome last = IoOutcome::Signalled;
        while (sent < 200 && last != IoOutcome::TimedOut) {
            std::fill(report.begin(), report.end(), static_cast<std::uint8_t>(sent + 1));
            last = device->WriteReport(report, std::chrono::milliseconds(50));
            ++sent;
        }
        ASSERT_EQ(last, IoOutcome::TimedOut) << "the pipe never filled";
    }
    // What the product takes, until `wanted` bytes or two seconds.
    std::vector<std::uint8_t> Take(std::size_t wanted) {
        std::vector<std::uint8_t> taken;
        const ULONGLONG until = GetTickCount64() + 2000;
        while (taken.size() < wanted && GetTickCount64() < until) {
            DWORD available = 0, got = 0;
            std::uint8_t chunk[256];
            if (PeekNamedPipe(product, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                ReadFile(product, chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr))
                taken.insert(taken.end(), chunk, chunk + got);
            else
                Sleep(5);
        }
        return taken;
    }
};

TEST_F(StalledProduct, GivingUpAnEarlierReadCancelsNoWriteStillOnItsWay) {
    FillUntilAWriteWaits();
    std::vector<std::uint8_t> ack(65);
    EXPECT_EQ(device->ReadReport(ack, std::chrono::milliseconds(50)), IoOutcome::TimedOut);  // left pending
    EXPECT_EQ(device->ReadReport(ack, std::chrono::milliseconds(50)), IoOutcome::TimedOut);  // gives it up first
    // The product reads again: every report arrives, the one still on its way included.
    const auto taken = Take(sent * report.size());
    ASSERT_EQ(taken.size(), sent * report.size());
    EXPECT_EQ(taken.back(), static_cast<std::uint8_t>(sent));
}

// Fault caught: the writes and the read shared one event, so a write that
// finished late woke the read's wait, which then polled out its bound without
// letting the window's events run (and a cancelled write's memory could be
// freed while the driver still held it).
TEST_F(StalledProduct, AWriteFinishingLateNeitherEndsAReadsWaitNorHoldsTheWindow) {
    FillUntilAWriteWaits();
    std::thread taker([this] {
        Sleep(60);
        Take(sent * report.size());  // the writes on their way finish now
    });
    std::vector<std::uint8_t> ack(65);
    ULONGLONG last = GetTickCount64(), longest = 0;
    const ULONGLONG start = last;
    const IoOutcome read = device->ReadReport(ack, std::chrono::milliseconds(300), [&] {
        const ULONGLONG now = GetTickCount64();
        longest = std::max(longest, now - last);
        last = now;
    });
    const ULONGLONG took = GetTickCount64() - start;
    taker.join();
    EXPECT_EQ(read, IoOutcome::TimedOut) << "nothing was answered";
    EXPECT_GE(took, 290u);
    EXPECT_LT(std::max(longest, GetTickCount64() - last), 60u) << "the window's events waited too long";
    device->CancelPendingIo();
}

// A driver that never ends what it is asked to cancel (it only ends a request
// once the product takes the write or answers the read) stands in for a write
// stuck at an unplug. Faults caught: the cancelled requests waited for without
// bound (the window froze for good before the time-out box), or with the
// window's events held meanwhile; the next read sharing the stranded one's
// memory or event, so that it never saw its answer.
class UncancellableProduct : public StalledProduct {
protected:
    void SetUp() override {
        ASSERT_NE(product, INVALID_HANDLE_VALUE);
        device = MakeWindowsHidSystem(nullptr, [](void*, void*) { return 1; })->OpenDevice(name);
        ASSERT_NE(device, nullptr);
    }
    void Answer(std::uint8_t byte) {
        const std::vector<std::uint8_t> answer(8, byte);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(product, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr));
    }
};

TEST_F(UncancellableProduct, ACancelThatNeverEndsIsLeftToTheDriverWithinABound) {
    FillUntilAWriteWaits();
    std::vector<std::uint8_t> ack(65);
    EXPECT_EQ(device->ReadReport(ack, std::chrono::milliseconds(50)), IoOutcome::TimedOut);  // left pending
    std::thread driver([this] {
        Sleep(2000);  // long after the bound: only now does the driver end both requests
        Take(sent * report.size());
        Answer(0xAA);  // into the stranded read, the first in the queue
        Sleep(100);
        Answer(0x55);
    });
    int slices = 0;
    ULONGLONG last = GetTickCount64(), longest = 0;
    const ULONGLONG start = last;
    device->CancelPendingIo([&] {
        ++slices;
        longest = std::max(longest, GetTickCount64() - last);
        last = GetTickCount64();
    });
    const ULONGLONG end = GetTickCount64();
    EXPECT_GE(end - start, 900u);
    EXPECT_LT(end - start, 1500u) << "the cancelled requests were waited for past their bound";
    EXPECT_GE(slices, 20);  // slices of about WaitSlice: fewer, and they were longer
    // A loaded machine holds one slice now and then for tens of milliseconds;
    // a wait that held the window's events held them for most of the second.
    EXPECT_LT(std::max(longest, end - last), 250u) << "the window's events waited too long";
    // The next read, started while the driver still holds the stranded one,
    // has memory and an event of its own: it gets the second answer.
    EXPECT_EQ(device->ReadReport(ack, std::chrono::milliseconds(3000)), IoOutcome::Signalled);
    driver.join();
    EXPECT_EQ(ack[0], 0x55);
    EXPECT_EQ(ack[7], 0x55);
    EXPECT_EQ(ack[8], 0x00);
    // Closing the device closes its handle: the product sees its end of the pipe closed.
    device.reset();
    std::uint8_t byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(product, &byte, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// Fault caught: without an event to wait on, every write and read "failed",
// which the transfer takes for a report sent and no answer, and the window
// said the firmware was upgraded having sent nothing.
TEST(WindowsHid, ADeviceThatCanWaitForNothingEndsTheTransfer) {
    const char* name = "\\\\.\\pipe\\qeff-no-events";
    const HANDLE product = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(product, INVALID_HANDLE_VALUE);
    auto device = MakeWindowsHidSystem([]() -> void* { return nullptr; })->OpenDevice(name);
    ASSERT_NE(device, nullptr);
    std::vector<std::uint8_t> report(65, 1);
    EXPECT_EQ(device->WriteReport(report, std::chrono::milliseconds(50)), IoOutcome::Abandoned);
    EXPECT_EQ(device->ReadReport(report, std::chrono::milliseconds(50)), IoOutcome::Abandoned);
    device.reset();
    CloseHandle(product);
}

}  // namespace

namespace {

// Faults caught: IDs read from a path that does not name them, or misread
// (so that denied access is told of another product, or never); an interface
// without the instance that tells one plug from the next; Wine's own devices,
// which are not on USB, taken for one USB device.
TEST(WindowsHid, EnumerationTellsIdsInstanceAndUsbDevice) {
    const auto ids = IdsFromInterfacePath("\\\\?\\hid#VID_1D50&PID_601b&mi_01#8&2c1a&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->VendorId, 0x1D50);
    EXPECT_EQ(ids->ProductId, 0x601B);
    EXPECT_FALSE(IdsFromInterfacePath("\\\\?\\hid#vid_1d50&pid_60#1").has_value());
    EXPECT_FALSE(IdsFromInterfacePath("\\\\?\\hid#vid_1d5g&pid_6018#1").has_value());
    EXPECT_FALSE(IdsFromInterfacePath("\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_dev_vid&02046d").has_value());

    const auto hid = MakeWindowsHidSystem();
    const auto set = hid->PresentInterfaces();
    ASSERT_NE(set, nullptr);
    int wine = 0;
    for (std::size_t index = 0;; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        const auto device = hid->OpenDevice(entry.path);
        const auto opened = device ? device->Attributes() : std::nullopt;
        if (!opened || opened->VendorId != kWineVendor)
            continue;
        ++wine;
        ASSERT_TRUE(entry.advertised.has_value()) << entry.path;
        EXPECT_EQ(entry.advertised->ProductId, opened->ProductId) << entry.path;
        EXPECT_FALSE(entry.instance.empty()) << entry.path;
        EXPECT_EQ(entry.usbDevice, "") << entry.path;
    }
    EXPECT_GE(wine, 2);
}

}  // namespace
