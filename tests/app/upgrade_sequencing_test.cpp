#include "device/ack_codes.h"
#include "device/device_discovery.h"
#include "support/fake_main_window.h"
#include "support/held_file.h"
#include "package/package_header.h"
#include "support/package_files.h"
#include "support/process_holdings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

const ShownMessage kSuccess{"Firmware upgraded successfully", "OK", MessageStyle::Plain};
const ShownMessage kTimeout{"Timeout error, try upgrade one more time.", "Error", MessageStyle::Exclamation};
const ShownMessage kWrongIds{"Device not recognized, vendor ID or product ID incorrect", "Warning",
                             MessageStyle::Exclamation};
const ShownMessage kNoDevices{"Device not recognized.\nReconnect the device to USB port.", "Warning",
                              MessageStyle::Information};
using Log = std::vector<std::string>;

const Log kBusy = {"disable Open",     "disable Exit",     "wait GroupBox1", "wait GroupBox2",
                   "wait Form1",       "wait Upgrade",     "wait Edit1",     "wait Memo",
                   "wait Open",        "wait About",       "disable Upgrade", "disable Memo",
                   "timer 1"};
const Log kReady = {"enable Open",       "enable Exit",       "enable Upgrade",   "default Upgrade",
                    "default GroupBox1", "default GroupBox2", "default Form1",    "default Edit1",
                    "default Memo",      "default Open",      "default About",    "enable Memo"};

class Upgrade : public ::testing::Test, public BehaviourFixture {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();

    void SetUp() override { Choose(package, "p.qeff"); }

    void Choose(const PackageContents& contents, const std::string& name) {
        WriteBytes(folder / name, BuildPackage(contents));
        dialog.Confirm(Utf8(folder / name));
        form.OpenClick();
        ASSERT_TRUE(window.IsEnabled(Control::Upgrade));
        window.log.clear();
    }

    SimulatedInterface Product() const { return ProductInterface(package, 33, 33); }
    static SimulatedInterface Stranger() {
        SimulatedInterface i;
        i.vendorId = 0x845E;
        i.productId = 0x0001;
        return i;
    }

    // Presses Upgrade and lets the timer fire until the attempt is over, the
    // clock moving with each wait.
    void Attempt() {
        form.UpgradeClick();
        Finish();
    }
    void Finish() {
        while (window.timer) {
            Wait(*window.timer);
            window.FireTimer();
        }
    }

    void ExpectBusy() {
        for (Control c : {Control::Open, Control::Exit, Control::Upgrade, Control::Memo})
            EXPECT_FALSE(window.IsEnabled(c)) << FakeWindow::Name(c);
        EXPECT_TRUE(window.IsEnabled(Control::About)) << "About stays usable";
    }

    void ExpectReady() {
        for (Control c : {Control::Open, Control::Exit, Control::Upgrade, Control::Memo})
            EXPECT_TRUE(window.IsEnabled(c)) << FakeWindow::Name(c);
        for (const auto& [control, shape] : window.cursors)
            EXPECT_EQ(shape, CursorShape::Default) << FakeWindow::Name(control);
        EXPECT_FALSE(RetryPending);
        EXPECT_FALSE(window.timer);
        EXPECT_EQ(DeviceHandle, nullptr);
        EXPECT_EQ(hid.OpenHandles(), 0) << "the device is closed after every attempt";
        EXPECT_EQ(window.gauge, 0);
    }
};

TEST_F(Upgrade, AnAttachedProductIsUpgradedRightAfterThePress) {
    hid.Attach(Stranger());
    const std::size_t product = hid.Attach(Product());
    bool busyDuringTransfer = false;
    messages.onShow = [&](const ShownMessage&) {
        busyDuringTransfer = !window.IsEnabled(Control::Exit) && DeviceHandle != nullptr;
    };

    form.UpgradeClick();
    EXPECT_EQ(window.log, kBusy) << "the busy state, in its order";
    ExpectBusy();
    EXPECT_TRUE(messages.shown.empty()) << "nothing is searched before the window shows it is busy";

    window.log.clear();
    ASSERT_TRUE(window.FireTimer());
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(busyDuringTransfer);
    EXPECT_GT(window.eventRounds, 0) << "window events ran during the transfer";
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(hid.Log(0).openHandles, 0);
    EXPECT_EQ(window.log, kReady) << "the window restored, in its order";
    ExpectReady();
}

TEST_F(Upgrade, TheSecondSearchComesTwoSecondsLaterAndNotBefore) {
    form.UpgradeClick();
    window.FireTimer();  // the first search: nothing there
    EXPECT_TRUE(RetryPending);
    EXPECT_EQ(window.timer, 2000);
    EXPECT_TRUE(messages.shown.empty());
    ExpectBusy();

    const std::size_t product = hid.Attach(Product());
    Wait(1950);  // a timer that fires early
    window.FireTimer();
    EXPECT_EQ(window.timer, 50) << "waits out the rest";
    EXPECT_EQ(hid.Log(product).opens, 0) << "not searched yet";

    Wait(50);
    window.FireTimer();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    ExpectReady();
}

TEST_F(Upgrade, WarningsAfterTheSecondSearch) {
    Attempt();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kNoDevices}) << "no HID device at all";
    ExpectReady();

    hid.Attach(Stranger());
    hid.Attach(Stranger());
    Attempt();
    EXPECT_EQ(messages.shown.back(), kWrongIds) << "only other devices";
    EXPECT_EQ(hid.Log(0).opens, 2) << "searched twice";
    ExpectReady();

    auto locked = Product();
    locked.advertisesIds = true;
    locked.accessDenied = true;
    hid.Attach(locked);
    Attempt();
    const ShownMessage denied{"Device found, but access to it was denied.\nAllow access to the device (see README) and try again.",
                              "Warning", MessageStyle::Exclamation};
    EXPECT_EQ(messages.shown.back(), denied) << "the product is there but may not be opened";
    ExpectReady();

    // A refused interface that does not say it is the product changes nothing.
    hid.DetachAll();
    auto anonymous = Product();
    anonymous.accessDenied = true;
    hid.Attach(anonymous);
    Attempt();
    EXPECT_EQ(messages.shown.back(), kWrongIds);
    EXPECT_EQ(messages.shown.size(), 4u);
}

TEST_F(Upgrade, EveryAttemptGetsItsSecondChance) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        form.UpgradeClick();
        window.FireTimer();
        EXPECT_TRUE(RetryPending) << attempt;
        Wait(2000);
        window.FireTimer();
        ExpectReady();
    }
    EXPECT_EQ(messages.shown, (std::vector<ShownMessage>{kNoDevices, kNoDevices}));
}

TEST_F(Upgrade, AFailedTransferStillClosesTheDeviceAndRestoresTheWindow) {
    auto product = Product();
    product.product.answers = {BlockAnswer::Code(6)};
    hid.Attach(product);
    Attempt();
    EXPECT_EQ(messages.shown, (std::vector<ShownMessage>{{"Memory write error!", "Error", MessageStyle::Plain}}));
    ExpectReady();

    // The same package can be tried again at once.
    hid.DetachAll();
    const std::size_t fresh = hid.Attach(Product());
    Attempt();
    EXPECT_EQ(messages.shown.back(), kSuccess);
    EXPECT_EQ(hid.Product(fresh).Payload(), package.firmware);
}

TEST_F(Upgrade, ClosingDuringTheRetryWaitEndsTheAttemptAtOnce) {
    form.UpgradeClick();
    window.FireTimer();
    ASSERT_TRUE(RetryPending);
    hid.Attach(Product());  // would be found if the search still ran

    window.Close();
    EXPECT_TRUE(window.closed);
    EXPECT_TRUE(messages.shown.empty()) << "no search, no message";
    EXPECT_EQ(hid.Log(0).opens, 0);
    ExpectReady();
}

TEST_F(Upgrade, ClosingDuringATransferWaitsForItsEnd) {
    const std::size_t product = hid.Attach(Product());
    // The close arrives while the transfer lets window events run.
    window.duringEvents = [&] {
        window.duringEvents = nullptr;
        window.Close();
        EXPECT_FALSE(window.closed) << "not while the transfer runs";
    };
    bool openWhileSucceeding = false;
    messages.onShow = [&](const ShownMessage&) { openWhileSucceeding = !window.closed; };
    Attempt();

    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(openWhileSucceeding) << "the transfer was not cut off";
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_TRUE(window.closed) << "the window closes once the attempt is over";
    EXPECT_EQ(hid.OpenHandles(), 0);
}

TEST_F(Upgrade, KeysFollowTheWindowsRules) {
    EXPECT_TRUE(form.KeyDown(Key::Escape, {}, Control::Memo));
    EXPECT_FALSE(window.closed) << "Escape in the notes does nothing";
    EXPECT_FALSE(form.KeyDown(Key::Escape, {.shift = true}, Control::Open));
    EXPECT_FALSE(form.KeyDown(Key::Escape, {.ctrl = true}, Control::Open));
    EXPECT_FALSE(form.KeyDown(Key::Enter, {}, Control::Memo)) << "Enter presses buttons only";
    EXPECT_TRUE(window.log.empty());

    form.UpgradeClick();  // Exit is disabled during an attempt
    window.log.clear();
    EXPECT_TRUE(form.KeyDown(Key::Escape, {}, Control::About));
    EXPECT_FALSE(form.KeyDown(Key::Enter, {}, Control::Upgrade)) << "a disabled button is not pressed";
    EXPECT_TRUE(window.log.empty());
    EXPECT_TRUE(form.KeyDown(Key::Enter, {}, Control::About));
    EXPECT_EQ(window.log, Log{"press About"});
    Finish();

    window.log.clear();
    EXPECT_TRUE(form.KeyDown(Key::Escape, {}, Control::Open));
    EXPECT_EQ(window.log, Log{"press Exit"});
    EXPECT_TRUE(window.closed) << "Escape quits";
}

TEST_F(Upgrade, APackageThatChangedSinceItWasChosenSendsNothing) {
    const auto path = folder / "p.qeff";
    const ShownMessage cantOpen{"Can't open file!", "File Error", MessageStyle::Plain};
    const ShownMessage wrongFormat{"Wrong file format!", "File Error", MessageStyle::Plain};
    struct Case {
        const char* what;
        std::function<void()> change;
        ShownMessage expected;
        std::function<void()> undo;
    };
    std::unique_ptr<HeldFile> held;
    std::vector<Case> cases = {
        {"removed", [&] { std::filesystem::remove(path); }, cantOpen, {}},
        {"truncated below a header", [&] { std::filesystem::resize_file(path, qeff::HeaderSize - 1); }, wrongFormat,
         {}},
        {"replaced by something else", [&] { WriteBytes(path, CountingPayload(9000)); }, wrongFormat, {}},
        {"held by another program", [&] { held = std::make_unique<HeldFile>(path); }, cantOpen,
         [&] { held.reset(); }},
    };
#ifndef _WIN32
    cases.push_back({"replaced by a named pipe",
                     [&] {
                         std::filesystem::remove(path);
                         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                     },
                     cantOpen, [&] { std::filesystem::remove(path); }});
#endif
    const std::size_t product = hid.Attach(Product());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(path, BuildPackage(package));
        messages.shown.clear();
        c.change();
        Attempt();
        if (c.undo)
            c.undo();
        EXPECT_EQ(messages.shown, std::vector<ShownMessage>{c.expected});
        EXPECT_TRUE(hid.Log(product).reports.empty()) << "nothing was sent";
        ExpectReady();
    }
}

// Every way a small upgrade can go wrong, one at a time: the product leaves
// after each report, or refuses each block with each failing code.
TEST_F(Upgrade, FaultMatrix) {
    package.firmware = CountingPayload(6 * 32);  // three blocks of two reports
    package.blockLength = 64;
    Choose(package, "matrix.qeff");

    const auto attempt = [&](SimulatedInterface product) {
        hid.DetachAll();
        messages.shown.clear();
        const std::size_t i = hid.Attach(std::move(product));
        Attempt();
        ExpectReady();
        return hid.Log(i).reports.size();
    };

    for (std::size_t gone = 0; gone <= 6; ++gone) {
        SCOPED_TRACE("gone after report " + std::to_string(gone));
        auto product = Product();
        product.goneAfterReports = gone;
        EXPECT_EQ(attempt(product), gone);
        EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kTimeout});
    }
    for (std::uint32_t code : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        for (std::size_t block = 0; block < 3; ++block) {
            SCOPED_TRACE("code " + std::to_string(code) + " at block " + std::to_string(block));
            auto product = Product();
            product.product.answers.assign(block, BlockAnswer::Code(1));
            product.product.answers.push_back(BlockAnswer::Code(code));
            EXPECT_EQ(attempt(product), 2 * (block + 1)) << "nothing after the refused block";
            ASSERT_EQ(messages.shown.size(), 1u);
            EXPECT_EQ(messages.shown[0].caption, "Error");
            EXPECT_EQ(messages.shown[0].text, ReactionToAck(code).text);
        }
    }
}

TEST_F(Upgrade, TheSuccessBoxIsShownOverAFullGaugeThatThenReturnsToZero) {
    package.firmware = CountingPayload(20000);
    Choose(package, "big.qeff");
    hid.Attach(Product());
    int shownOver = -1;
    messages.onShow = [&](const ShownMessage&) { shownOver = window.gauge; };
    Attempt();
    EXPECT_EQ(shownOver, 100);
    EXPECT_EQ(window.gauge, 0);
}

// A thousand attempts in a row, each with a fault drawn with a fixed seed (and
// a good one among them): each ends at once with the outcome its fault calls
// for, never with success after a failure, and the process holds no more after
// the last than after the first hundred. Faults caught: whatever an attempt
// leaves behind (a device or package file left open, a timer, a retry, memory)
// that only shows over many attempts, and an outcome carried over from the
// attempt before; sleep and shut-down let through at a notice on the way (code
// 11) while firmware was still to be written, or kept held off under the
// outcome's box.
TEST_F(Upgrade, AThousandFaultyAttemptsEndAsTheirFaultsCallForAndLeaveNothingBehind) {
    enum Fault { Good, ShortLastBlock, FailingCode, Code11, Silence, Garbage, Stall, Unplug, Faults };
    PackageContents even = package;
    even.firmware = CountingPayload(6 * 32);  // three blocks of two reports
    even.blockLength = 64;
    PackageContents shortLast = even;
    shortLast.firmware = CountingPayload(5 * 32 + 7);
    const std::uint32_t failing[] = {0, 3, 4, 5, 6, 7, 8, 9, 10};
    const AckReaction code11 = ReactionToAck(11);

    std::mt19937 draw(20261208);
    int counts[Faults] = {};
    ProcessHoldings warm;
    const PackageContents* chosen = nullptr;
    auto longest = std::chrono::steady_clock::duration::zero();
    std::vector<bool> heldUnderBox;  // whether shut-down was held off under each box
    messages.onShow = [&](const ShownMessage&) { heldUnderBox.push_back(window.holdingOffShutdown); };
    const auto soakStart = std::chrono::steady_clock::now();
    for (int n = 0; n < 1000; ++n) {
        const auto fault = static_cast<Fault>(draw() % Faults);
        ++counts[fault];
        const PackageContents& wanted = fault == ShortLastBlock ? shortLast : even;
        if (chosen != &wanted) {
            package = wanted;
            Choose(package, fault == ShortLastBlock ? "short.qeff" : "even.qeff");
            chosen = &wanted;
        }
        auto product = Product();
        const std::size_t block = draw() % 3;
        auto& answers = product.product.answers;
        answers.assign(block, BlockAnswer::Code(1));
        std::vector<ShownMessage> expected{kTimeout};
        std::uint32_t code = 0;
        switch (fault) {
        case Good:
        case ShortLastBlock: expected = {kSuccess}; break;
        case FailingCode:
            code = failing[draw() % std::size(failing)];
            answers.push_back(BlockAnswer::Code(code));
            expected = {{ReactionToAck(code).text, ReactionToAck(code).caption, MessageStyle::Plain}};
            break;
        case Code11:
            answers.push_back(BlockAnswer::Code(11));
            expected = {{code11.text, code11.caption, MessageStyle::Plain}, kSuccess};
            break;
        case Silence: answers.push_back(BlockAnswer::Of(BlockAnswer::Kind::Silence)); break;
        case Garbage:  // a report that is no acknowledgement is passed over: the upgrade goes on
            answers.push_back(BlockAnswer::Of(BlockAnswer::Kind::NoSignature));
            expected = {kSuccess};
            break;
        case Stall: product.stallsAfterReports = draw() % 6; break;  // all six taken would succeed
        case Unplug: product.goneAfterReports = draw() % 7; break;
        case Faults: break;
        }
        hid.DetachAll();
        messages.shown.clear();
        window.log.clear();
        dialog.seen.clear();  // the test's own records must not grow either
        heldUnderBox.clear();
        const std::size_t i = hid.Attach(std::move(product));
        const auto start = std::chrono::steady_clock::now();
        Attempt();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);

        SCOPED_TRACE("attempt " + std::to_string(n) + ", fault " + std::to_string(fault) + ", block " +
                     std::to_string(block) + ", code " + std::to_string(code));
        ASSERT_EQ(messages.shown.size(), expected.size());
        for (std::size_t m = 0; m < expected.size(); ++m) {
            ASSERT_EQ(messages.shown[m].text, expected[m].text);
            ASSERT_EQ(messages.shown[m].caption, expected[m].caption);
        }
        std::vector<bool> held(expected.size(), true);
        held.back() = false;  // the firmware is written, or will not be
        ASSERT_EQ(heldUnderBox, held);
        ASSERT_FALSE(window.holdingOffShutdown);
        if (expected.back() == kSuccess) {
            ASSERT_EQ(hid.Product(i).Payload(), package.firmware);
        }
        ASSERT_TRUE(!window.timer && !RetryPending && !DeviceHandle && hid.OpenHandles() == 0 &&
                    window.IsEnabled(Control::Upgrade) && window.gauge == 0)
            << "the attempt left the window busy or the device open";
        if (n == 99)
            warm = HoldingsNow();
    }
    const auto soak = std::chrono::steady_clock::now() - soakStart;
    const ProcessHoldings after = HoldingsNow();
    EXPECT_LT(longest, std::chrono::seconds(1)) << "an attempt against a product that never makes it wait";
    EXPECT_LE(after.descriptors, warm.descriptors);
    EXPECT_LE(after.threads, warm.threads);
    EXPECT_LE(after.heap, warm.heap + 16 * 1024) << "grew by more than 16 KiB over 900 attempts";
    std::cout << "1000 attempts in " << std::chrono::duration_cast<std::chrono::milliseconds>(soak).count()
              << " ms, the longest " << std::chrono::duration_cast<std::chrono::microseconds>(longest).count()
              << " us; faults drawn (good, short last block, failing code, code 11, silence, garbage, stall, unplug):";
    for (const int count : counts)
        std::cout << ' ' << count;
    std::cout << "; after the 100th and the 1000th: " << warm.descriptors << '/' << after.descriptors
              << " descriptors, " << warm.threads << '/' << after.threads << " threads, " << warm.heap << '/'
              << after.heap << " heap bytes\n";
}

}  // namespace

