// Runs inside a guest kernel as root: the utility's HID backend, search and
// transfer against virtual products on real hidraw nodes, over uhid and over a
// USB gadget on dummy_hcd (the host side then goes through usbhid).

#include "device/device_discovery.h"
#include "device/firmware_transfer.h"
#include "package/package_header.h"
#include "support/package_files.h"
#include "platform/hid_linux.h"
#include "support/transfer_fixtures.h"
#include "device/ack_codes.h"
#include "kernel/attached_product.h"
#include "support/process_holdings.h"
#include "qefftool/list_command.h"
#include "qefftool/text_output.h"
#include "device/product_upgrade.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Kind = BlockAnswer::Kind;
using namespace std::chrono_literals;

std::string Name(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Uhid ? "Uhid" : "Gadget";
}

class RealKernel : public ::testing::TestWithParam<Transport> {
protected:
    PackageContents package = SamplePackage();
    std::unique_ptr<HidSystem> hid = MakeHidrawSystem();
    RecordingView view;

    VirtualProductOptions Options(std::vector<BlockAnswer> answers = {}) const {
        return OptionsFor(package, std::move(answers));
    }

    // Searches for the package's product and, found, transfers the package to it.
    int Upgrade() {
        std::unique_ptr<HidDevice> device;
        const int index = FindProduct(*hid, package.vendorId, package.productId, device);
        if (device)
            TransferFirmware(view, *device, std::make_unique<MemoryPackage>(BuildPackage(package)));
        return device ? index : -1;
    }
};

TEST_P(RealKernel, AWholeUpgradeArrivesByteForByte) {
    package.firmware = CountingPayload(20000);
    package.blockLength = 4096;
    Attached product(GetParam(), Options());
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_GE(Upgrade(), 0);
    EXPECT_EQ(view.messages, std::vector<std::string>{kSuccess});
    const auto& p = product.Product();
    EXPECT_EQ(p.Product().Payload(), package.firmware);
    EXPECT_EQ(p.Product().BlocksFinished(), 5u);
    EXPECT_EQ(view.gauge.back(), 0);
}

TEST_P(RealKernel, EveryFailingCodeStopsTheTransfer) {
    package.firmware = CountingPayload(64 * 4);  // four blocks of one report
    for (std::uint32_t code : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        view = RecordingView();
        Attached product(GetParam(), Options({BlockAnswer::Code(1), BlockAnswer::Code(code)}));
        ASSERT_TRUE(product.Up()) << product.Error();
        ASSERT_GE(Upgrade(), 0);
        ASSERT_EQ(view.messages.size(), 1u) << code;
        EXPECT_EQ(view.messages[0], Msg("Error", ReactionToAck(code).text)) << code;
        EXPECT_EQ(product.Product().ReportsReceived(), 2u) << "nothing sent after the refusal";
    }
}

TEST_P(RealKernel, CodeElevenAndGarbageGoOn) {
    package.firmware = CountingPayload(64 * 3);
    Attached product(GetParam(), Options({BlockAnswer::Code(11), BlockAnswer::Of(Kind::NoSignature)}));
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_GE(Upgrade(), 0);
    EXPECT_EQ(view.messages, (std::vector<std::string>{Msg("Data", "Ack with data packet"), kSuccess}));
    EXPECT_EQ(product.Product().Product().Payload(), package.firmware);
}

TEST_P(RealKernel, ASilentProductTimesOutAfterAboutThreeHundredMilliseconds) {
    package.firmware = CountingPayload(64 * 3);
    Attached product(GetParam(), Options({BlockAnswer::Code(1), BlockAnswer::Of(Kind::Silence)}));
    ASSERT_TRUE(product.Up()) << product.Error();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_GE(Upgrade(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(view.messages, std::vector<std::string>{kTimeout});
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(product.Product().ReportsReceived(), 2u);
}

// Fault caught if the hang-up were taken for the product gone before the
// answer waiting for us: a product restarting into its new firmware answers
// its last block and leaves the bus at once, and the upgrade succeeded.
TEST_P(RealKernel, AProductThatLeavesRightAfterItsLastAnswerWasUpgraded) {
    package.firmware = CountingPayload(64 * 40);
    package.blockLength = 64 * 8;
    auto options = Options();
    options.leaveAfterLastAnswer = true;
    Attached product(GetParam(), options);
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_GE(Upgrade(), 0);
    EXPECT_EQ(view.messages, std::vector<std::string>{kSuccess});
    EXPECT_EQ(product.Product().Product().Payload(), package.firmware);
}

TEST_P(RealKernel, AProductUnpluggedMidwayIsNeverAnUpgrade) {
    package.firmware = CountingPayload(64 * 40);
    package.blockLength = 64 * 8;
    auto options = Options();
    options.unplugAfterReports = 13;
    Attached product(GetParam(), options);
    ASSERT_TRUE(product.Up()) << product.Error();
    ASSERT_GE(Upgrade(), 0);
    EXPECT_EQ(view.messages, std::vector<std::string>{kTimeout});
    EXPECT_EQ(view.gauge.back(), 0);
}

// Fifty attempts in one boot, each with a fault drawn with a fixed seed, on a
// product plugged in for it: each ends in time with the outcome its fault
// calls for, and the process holds no more at the end than after the fifth.
// Faults caught: a writing thread or node kept after its device closed, and
// an outcome carried over from the attempt before, on the real kernel.
TEST_P(RealKernel, FiftyFaultyAttemptsEndAsTheirFaultsCallForAndLeaveNothingBehind) {
    enum Fault { Good, ShortLastBlock, FailingCode, Code11, Silence, Garbage, Unplug, Faults };
    const std::uint32_t failing[] = {0, 3, 4, 5, 6, 7, 8, 9, 10};
    std::mt19937 draw(20261208);
    package.blockLength = 128;  // three blocks of two reports
    ProcessHoldings warm;
    auto longest = std::chrono::steady_clock::duration::zero();
    const auto soakStart = std::chrono::steady_clock::now();
    for (int n = 0; n < 50; ++n) {
        const auto fault = static_cast<Fault>(draw() % Faults);
        const std::size_t block = draw() % 3;
        package.firmware = CountingPayload(fault == ShortLastBlock ? 64 * 5 + 7 : 64 * 6);
        std::vector<BlockAnswer> answers(block, BlockAnswer::Code(1));
        std::vector<std::string> expected{kTimeout};
        std::uint32_t code = 0;
        auto options = Options();
        switch (fault) {
        case Good:
        case ShortLastBlock: expected = {kSuccess}; break;
        case FailingCode:
            code = failing[draw() % std::size(failing)];
            answers.push_back(BlockAnswer::Code(code));
            expected = {Msg("Error", ReactionToAck(code).text)};
            break;
        case Code11:
            answers.push_back(BlockAnswer::Code(11));
            expected = {Msg(ReactionToAck(11).caption, ReactionToAck(11).text), kSuccess};
            break;
        case Silence: answers.push_back(BlockAnswer::Of(Kind::Silence)); break;
        case Garbage:  // passed over: the upgrade goes on
            answers.push_back(BlockAnswer::Of(Kind::NoSignature));
            expected = {kSuccess};
            break;
        case Unplug: options.unplugAfterReports = 1 + draw() % 6; break;
        case Faults: break;
        }
        options.product.answers = answers;
        SCOPED_TRACE("attempt " + std::to_string(n) + ", fault " + std::to_string(fault) + ", block " +
                     std::to_string(block) + ", code " + std::to_string(code));
        view = RecordingView();
        Attached product(GetParam(), options);
        ASSERT_TRUE(product.Up()) << product.Error();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_GE(Upgrade(), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        longest = std::max(longest, took);
        ASSERT_EQ(view.messages, expected);
        // Six reports at 50 ms each at most, the acknowledgement's 300 ms, and a second to spare.
        ASSERT_LT(took, 6 * 50ms + 300ms + 1s);
        if (expected.back() == kSuccess) {
            ASSERT_EQ(product.Product().Product().Payload(), package.firmware);
        }
        if (n == 4)
            warm = HoldingsNow();
    }
    const auto soak = std::chrono::steady_clock::now() - soakStart;
    // A write still in the kernel when its device closed ends on its own thread.
    ProcessHoldings after = HoldingsNow();
    for (int i = 0; i < 100 && (after.threads > warm.threads || after.descriptors > warm.descriptors); ++i) {
        std::this_thread::sleep_for(20ms);
        after = HoldingsNow();
    }
    std::printf("50 attempts in %lld ms, the longest %lld ms; after the 5th and the 50th: %ld/%ld descriptors, "
                "%ld/%ld threads, %zu/%zu heap bytes\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(soak).count()),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()),
                warm.descriptors, after.descriptors, warm.threads, after.threads, warm.heap, after.heap);
    EXPECT_LE(after.descriptors, warm.descriptors);
    EXPECT_LE(after.threads, warm.threads);
    EXPECT_LE(after.heap, warm.heap + 16 * 1024);
}

// The product takes its data in output report 2 and also has a shorter output
// report 3 (described first); it answers in input report 1. Faults caught: byte 0
// of the output reports left 0 (usbhid strips it, uhid hands it over) or taken
// from the wrong report; the release number not read from the USB device.
TEST_P(RealKernel, ReportIdsOfTheProductAreKeptOutOfTheAcknowledgement) {
    package.firmware = CountingPayload(1000);
    package.blockLength = 96;
    auto options = Options();
    options.reportIds = true;
    options.product.inputReportId = 1;
    options.product.outputReportId = 2;
    options.product.outputReportLength = 33;
    options.product.inputReportLength = 33;
    options.release = 0x0213;  // the gadget's bcdDevice; uhid's devices have none
    Attached product(GetParam(), options);
    ASSERT_TRUE(product.Up()) << product.Error();
    std::unique_ptr<HidDevice> device;
    ASSERT_GE(FindProduct(*hid, package.vendorId, package.productId, device), 0);
    const auto lengths = device->Capabilities();
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->OutputReportByteLength, 33u);
    EXPECT_EQ(lengths->InputReportByteLength, 33u);
    EXPECT_EQ(lengths->OutputReportId, 2);
    EXPECT_EQ(device->Identity().release,
              GetParam() == Transport::Gadget ? std::optional<std::uint16_t>(0x0213) : std::nullopt);
    TransferFirmware(view, *device, std::make_unique<MemoryPackage>(BuildPackage(package)));
    EXPECT_EQ(view.messages, std::vector<std::string>{kSuccess});
    EXPECT_EQ(product.Product().Product().Payload(), package.firmware);
    EXPECT_EQ(product.Product().Product().ReportsRefused(), 0u);
}

TEST_P(RealKernel, TheFirstOfTwoInterfacesWithTheIdsIsUsed) {
    package.firmware = CountingPayload(640);
    if (GetParam() == Transport::Gadget) {
        // One USB product with two HID interfaces.
        auto options = Options();
        options.secondInterface = true;
        Attached product(GetParam(), options);
        ASSERT_TRUE(product.Up()) << product.Error();
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (NodesWith(package.vendorId, package.productId) < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(NodesWith(package.vendorId, package.productId), 2);
        ASSERT_EQ(Upgrade(), 0);
        EXPECT_EQ(view.messages, std::vector<std::string>{kSuccess});
        const auto& gadget = dynamic_cast<const GadgetProduct&>(product.Product());
        EXPECT_EQ(gadget.Product().Payload(), package.firmware);
        EXPECT_EQ(gadget.SecondInterfaceReports(), 0u);
        return;
    }
    Attached first(GetParam(), Options());
    ASSERT_TRUE(first.Up()) << first.Error();
    Attached second(GetParam(), Options());
    ASSERT_TRUE(second.Up()) << second.Error();
    ASSERT_EQ(Upgrade(), 0);
    EXPECT_EQ(view.messages, std::vector<std::string>{kSuccess});
    EXPECT_EQ(first.Product().Product().Payload(), package.firmware);
    EXPECT_EQ(second.Product().ReportsReceived(), 0u);
    EXPECT_EQ(dynamic_cast<const UhidProduct&>(second.Product()).Opens(), 0) << "never opened";
}

TEST_P(RealKernel, OtherDevicesAreCountedAndClosed) {
    auto options = Options();
    options.vendorId = 0x0001;
    options.productId = 0x0002;
    Attached other(GetParam(), options);
    ASSERT_TRUE(other.Up()) << other.Error();
    std::unique_ptr<HidDevice> device;
    EXPECT_EQ(FindProduct(*hid, package.vendorId, package.productId, device), AllNodes());
    EXPECT_EQ(device, nullptr);
    // Each node was opened and closed again: an exclusive user could now open it.
    EXPECT_EQ(FindProduct(*hid, 0x0001, 0x0002, device), 0);
    EXPECT_NE(device, nullptr);
}

TEST_P(RealKernel, AProductWeMayNotOpenIsToldApart) {
    Attached product(GetParam(), Options());
    ASSERT_TRUE(product.Up()) << product.Error();
    const pid_t child = ::fork();
    if (child == 0) {
        // An ordinary user: hidraw nodes belong to root alone.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(9);
        std::unique_ptr<HidDevice> device;
        bool denied = false;
        const int n = FindProduct(*MakeHidrawSystem(), package.vendorId, package.productId, device, &denied);
        ::_exit(device ? 8 : denied && n > 0 ? 0 : 7);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the search saw the product and was refused";
}

TEST_P(RealKernel, QefftoolListsAndUpgradesTheProduct) {
    package.firmware = CountingPayload(20000);
    package.blockLength = 1024;
    TempFolder folder;
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    auto productOptions = Options();
    productOptions.serial = "QV-0001";
    productOptions.phys = "usb-bench-3";  // over USB, the port tells it
    Attached product(GetParam(), productOptions);
    ASSERT_TRUE(product.Up()) << product.Error();

    std::ostringstream listed;
    EXPECT_EQ(RunList(*hid, (folder / "p.qeff").string(), listed), 0);
    EXPECT_NE(listed.str().find("/dev/hidraw"), std::string::npos) << listed.str();
    EXPECT_NE(listed.str().find("1d50:6018  out 65 in 65  \""), std::string::npos) << listed.str();
    const std::string location = GetParam() == Transport::Uhid ? "usb-bench-3" : "usb-dummy_hcd.0-1/input0";
    // A USB product tells its release number between its location and the verdict.
    const std::string release = GetParam() == Transport::Uhid ? "" : "  release ";
    const auto at = listed.str().find("  serial \"QV-0001\"  at \"" + location + "\"" + release);
    ASSERT_NE(at, std::string::npos) << listed.str();
    const std::string line = listed.str().substr(at, listed.str().find('\n', at) - at);
    EXPECT_TRUE(line.ends_with("  matches the package")) << line;

    std::ostringstream text;
    TextOutput out(text, false);
    UpgradeOptions options;
    options.package = (folder / "p.qeff").string();
    const std::atomic<bool> stop{false};
    EXPECT_EQ(RunUpgrade(options, *hid, out, stop), Outcome::Upgraded) << text.str();
    EXPECT_NE(text.str().find("found /dev/hidraw"), std::string::npos) << text.str();
    EXPECT_EQ(product.Product().Product().Payload(), package.firmware);
}

TEST_P(RealKernel, QefftoolUpgradesTwoProductsAtOnce) {
    if (GetParam() == Transport::Gadget)
        GTEST_SKIP() << "one USB device controller: one gadget at a time";
    package.firmware = CountingPayload(30000);
    package.blockLength = 2048;
    TempFolder folder;
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    // Two with one serial number, and one other: the serial number chooses.
    const auto with = [&](const char* serial, const char* phys) {
        auto options = Options();
        options.serial = serial;
        options.phys = phys;
        return options;
    };
    Attached first(GetParam(), with("QV-A", "usb-bench-1"));
    Attached other(GetParam(), with("QV-B", "usb-bench-2"));
    Attached second(GetParam(), with("QV-A", "usb-bench-3"));
    ASSERT_TRUE(first.Up() && second.Up() && other.Up()) << first.Error() << second.Error() << other.Error();

    std::ostringstream text;
    TextOutput out(text, false);
    UpgradeOptions options;
    options.package = (folder / "p.qeff").string();
    options.all = true;
    options.choice.serial = "QV-A";
    const std::atomic<bool> stop{false};
    EXPECT_EQ(RunUpgrade(options, *hid, out, stop), Outcome::Upgraded) << text.str();
    EXPECT_NE(text.str().find("2 of 2 products upgraded"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("serial \"QV-A\", at \"usb-bench-3\""), std::string::npos) << text.str();
    EXPECT_EQ(other.ReportsTaken(), 0u);
    EXPECT_EQ(first.Product().Product().Payload(), package.firmware);
    EXPECT_EQ(second.Product().Product().Payload(), package.firmware);
}

INSTANTIATE_TEST_SUITE_P(Transports, RealKernel, ::testing::Values(Transport::Uhid, Transport::Gadget), Name);

}  // namespace
