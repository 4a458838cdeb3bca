#include "app/quorvella_upgrade_utility.h"
#include "app/tcgauge.h"
#include "device/device_discovery.h"
#include "device/ack_codes.h"
#include "gui_fixtures.h"
#include "held_file.h"
#include "package/package_header.h"
#include "package_files.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

namespace {

const ShownMessage kSuccess{"Firmware upgraded successfully", "OK", MessageStyle::Plain};
const ShownMessage kWrongIds{"Device not recognized, vendor ID or product ID incorrect", "Warning",
                             MessageStyle::Exclamation};
const ShownMessage kNoDevices{"Device not recognized.\nReconnect the device to USB port.", "Warning",
                              MessageStyle::Information};

class Upgrade : public ::testing::Test, public MainWindowFixture {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();

    void SetUp() override {
        const auto path = folder / "p.qeff";
        WriteBytes(path, BuildPackage(package));
        dialog.Confirm(QString::fromStdString(path.string()));
        form.Open->click();
        ASSERT_TRUE(form.Upgrade->isEnabled());
        ShowAndActivate();
        initialCursors = Cursors();
    }

    SimulatedInterface Product() const {
        SimulatedInterface i;
        i.vendorId = package.vendorId;
        i.productId = package.productId;
        i.product = ProductFor(package, 33, 33);
        return i;
    }
    SimulatedInterface Stranger() const {
        SimulatedInterface i;
        i.vendorId = 0x845E;
        i.productId = 0x0001;
        return i;
    }

    std::vector<QWidget*> CursorWidgets() {
        return {form.GroupBox1, form.GroupBox2, &form, form.Upgrade, form.Edit1, form.Memo, form.Open, form.About};
    }

    // The cursor each control shows (its own, or the one it takes from its parent).
    std::vector<int> Cursors() {
        std::vector<int> shapes;
        for (QWidget* w : CursorWidgets())
            shapes.push_back(w->cursor().shape());
        return shapes;
    }
    std::vector<int> initialCursors;

    void ExpectBusy() {
        EXPECT_FALSE(form.Open->isEnabled());
        EXPECT_FALSE(form.Exit->isEnabled());
        EXPECT_FALSE(form.Upgrade->isEnabled());
        EXPECT_FALSE(form.Memo->isEnabled());
        EXPECT_TRUE(form.About->isEnabled()) << "About stays usable";
        for (QWidget* w : CursorWidgets()) {
            EXPECT_TRUE(w->testAttribute(Qt::WA_SetCursor)) << w->metaObject()->className();
            EXPECT_EQ(w->cursor().shape(), Qt::WaitCursor) << w->metaObject()->className();
        }
    }

    void ExpectReady() {
        EXPECT_TRUE(form.Open->isEnabled());
        EXPECT_TRUE(form.Exit->isEnabled());
        EXPECT_TRUE(form.Upgrade->isEnabled());
        EXPECT_TRUE(form.Memo->isEnabled());
        EXPECT_EQ(Cursors(), initialCursors) << "the cursors are those of the window before the attempt";
        EXPECT_FALSE(RetryPending);
        EXPECT_FALSE(form.Timer1->isActive());
        EXPECT_EQ(DeviceHandle, nullptr);
        EXPECT_EQ(hid.OpenHandles(), 0) << "the device is closed after every attempt";
        EXPECT_EQ(form.bar->Progress(), 0);
    }

    std::vector<std::uint8_t> Payload() const { return package.firmware; }
};

TEST_F(Upgrade, AnAttachedProductIsUpgradedRightAfterThePress) {
    hid.Attach(Stranger());
    const std::size_t product = hid.Attach(Product());
    bool busyDuringTransfer = false;
    messages.onShow = [&](const ShownMessage&) {
        // While the closing box is up, the attempt still holds the window busy.
        busyDuringTransfer = !form.Exit->isEnabled() && form.About->isEnabled() && DeviceHandle != nullptr;
    };

    form.Upgrade->click();
    ExpectBusy();
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 1);
    EXPECT_TRUE(messages.shown.empty()) << "nothing is searched before the window shows it is busy";

    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, 1000));
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(busyDuringTransfer);
    EXPECT_EQ(hid.Product(product).Payload(), Payload());
    EXPECT_EQ(hid.Log(0).openHandles, 0);
    ExpectReady();
}

TEST_F(Upgrade, AProductThatArrivesWithinTwoSecondsIsFoundByTheSecondSearch) {
    form.Upgrade->click();
    form.Timer1Timer();  // the first search: nothing there
    EXPECT_TRUE(RetryPending);
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 2000);
    EXPECT_TRUE(messages.shown.empty());
    ExpectBusy();

    const std::size_t product = hid.Attach(Product());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, 4000)) << "the timer searches again";
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_EQ(hid.Product(product).Payload(), Payload());
    ExpectReady();
}

TEST_F(Upgrade, NoHidDeviceAtAllAsksToReconnect) {
    form.Upgrade->click();
    form.Timer1Timer();
    EXPECT_TRUE(messages.shown.empty());
    form.Timer1Timer();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kNoDevices});
    ExpectReady();
}

TEST_F(Upgrade, OtherDevicesOnlyWarnAboutTheIds) {
    hid.Attach(Stranger());
    hid.Attach(Stranger());
    form.Upgrade->click();
    form.Timer1Timer();
    form.Timer1Timer();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kWrongIds});
    EXPECT_EQ(hid.Log(0).opens, 2) << "searched twice";
    ExpectReady();
}

TEST_F(Upgrade, AProductWeMayNotOpenAsksForAccessNotForOtherIds) {
    hid.Attach(Stranger());
    auto locked = Product();
    locked.advertisesIds = true;
    locked.accessDenied = true;
    hid.Attach(locked);
    form.Upgrade->click();
    form.Timer1Timer();
    form.Timer1Timer();
    const ShownMessage denied{"Device found, but access to it was denied.\nAllow access to the device (see README) and try again.",
                              "Warning", MessageStyle::Exclamation};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{denied});
    ExpectReady();

    // A refused interface that does not say it is the product changes nothing.
    hid.DetachAll();
    auto anonymous = Product();
    anonymous.accessDenied = true;
    hid.Attach(anonymous);
    form.Upgrade->click();
    form.Timer1Timer();
    form.Timer1Timer();
    EXPECT_EQ(messages.shown.back(), kWrongIds);
}

TEST_F(Upgrade, EveryAttemptGetsItsSecondChance) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        form.Upgrade->click();
        form.Timer1Timer();
        EXPECT_TRUE(RetryPending) << attempt;
        form.Timer1Timer();
        ExpectReady();
    }
    EXPECT_EQ(messages.shown, (std::vector<ShownMessage>{kNoDevices, kNoDevices}));
}

TEST_F(Upgrade, AFailedTransferStillClosesTheDeviceAndRestoresTheWindow) {
    auto product = Product();
    product.product.answers = {BlockAnswer::Code(6)};
    hid.Attach(product);
    form.Upgrade->click();
    form.Timer1Timer();
    const ShownMessage refused{"Memory write error!", "Error", MessageStyle::Plain};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{refused});
    ExpectReady();

    // The same package can be tried again at once.
    hid.DetachAll();
    const std::size_t fresh = hid.Attach(Product());
    form.Upgrade->click();
    form.Timer1Timer();
    EXPECT_EQ(messages.shown.back(), kSuccess);
    EXPECT_EQ(hid.Product(fresh).Payload(), Payload());
}

TEST_F(Upgrade, AProductUnpluggedMidwayIsNeverReportedAsUpgraded) {
    auto product = Product();
    product.goneAfterReports = 3;
    hid.Attach(product);
    form.Upgrade->click();
    form.Timer1Timer();
    const ShownMessage timeout{"Timeout error, try upgrade one more time.", "Error", MessageStyle::Exclamation};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{timeout});
    ExpectReady();
}

TEST_F(Upgrade, ClosingDuringTheRetryWaitEndsTheAttemptAtOnce) {
    form.Upgrade->click();
    form.Timer1Timer();
    ASSERT_TRUE(RetryPending);
    hid.Attach(Product());  // would be found if the search still ran

    form.close();
    EXPECT_FALSE(form.isVisible());
    QTest::qWait(30);
    EXPECT_TRUE(messages.shown.empty()) << "no search, no message";
    EXPECT_EQ(hid.Log(0).opens, 0);
    EXPECT_FALSE(RetryPending);
    EXPECT_FALSE(form.Timer1->isActive());
}

TEST_F(Upgrade, ClosingDuringATransferWaitsForItsEnd) {
    const std::size_t product = hid.Attach(Product());
    form.Upgrade->click();
    // The close arrives while the transfer lets window events run.
    QMetaObject::invokeMethod(&form, "close", Qt::QueuedConnection);
    bool openWhileSucceeding = false;
    messages.onShow = [&](const ShownMessage&) { openWhileSucceeding = form.isVisible(); };
    form.Timer1Timer();

    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(openWhileSucceeding) << "the transfer was not cut off";
    EXPECT_EQ(hid.Product(product).Payload(), Payload());
    EXPECT_FALSE(form.isVisible()) << "the window closes once the attempt is over";
    EXPECT_EQ(hid.OpenHandles(), 0);
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
    const std::vector<Case> cases = {
        {"removed", [&] { std::filesystem::remove(path); }, cantOpen, {}},
        {"truncated below a header",
         [&] { std::filesystem::resize_file(path, qeff::HeaderSize - 1); }, wrongFormat, {}},
        {"replaced by something else", [&] { WriteBytes(path, CountingPayload(9000)); }, wrongFormat, {}},
        {"held by another program", [&] { held = std::make_unique<HeldFile>(path); }, cantOpen,
         [&] { held.reset(); }},
        {"replaced by a named pipe",
         [&] {
             std::filesystem::remove(path);
             ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
         },
         cantOpen, [&] { std::filesystem::remove(path); }},
    };
    const std::size_t product = hid.Attach(Product());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(path, BuildPackage(package));
        messages.shown.clear();
        c.change();
        form.Upgrade->click();
        form.Timer1Timer();
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
    const auto path = folder / "matrix.qeff";
    WriteBytes(path, BuildPackage(package));
    dialog.Confirm(QString::fromStdString(path.string()));
    form.Open->click();
    const ShownMessage timeout{"Timeout error, try upgrade one more time.", "Error", MessageStyle::Exclamation};

    const auto attempt = [&](SimulatedInterface product) {
        hid.DetachAll();
        messages.shown.clear();
        const std::size_t i = hid.Attach(std::move(product));
        form.Upgrade->click();
        form.Timer1Timer();
        ExpectReady();
        return hid.Log(i).reports.size();
    };

    for (std::size_t gone = 0; gone <= 6; ++gone) {
        SCOPED_TRACE("gone after report " + std::to_string(gone));
        auto product = Product();
        product.goneAfterReports = gone;
        EXPECT_EQ(attempt(product), gone);
        EXPECT_EQ(messages.shown, std::vector<ShownMessage>{timeout});
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

TEST_F(Upgrade, TheGaugeMovesDuringTheTransferAndEndsAtZero) {
    package.firmware = CountingPayload(20000);
    const auto path = folder / "big.qeff";
    WriteBytes(path, BuildPackage(package));
    dialog.Confirm(QString::fromStdString(path.string()));
    form.Open->click();
    hid.Attach(Product());

    int highest = 0;
    messages.onShow = [&](const ShownMessage&) { highest = form.bar->Progress(); };
    form.Upgrade->click();
    form.Timer1Timer();
    EXPECT_EQ(highest, 100) << "the success box is shown over a full gauge";
    EXPECT_EQ(form.bar->Progress(), 0);
}

}  // namespace
