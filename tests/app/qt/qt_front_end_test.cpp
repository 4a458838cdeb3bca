// What only the Qt front end does: its widgets, cursors, timer and close event
// around the shared behaviour.

#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/tcgauge.h"
#include "device/device_discovery.h"
#include "support/gui_fixtures.h"
#include "support/package_files.h"
#ifdef Q_OS_LINUX
#include "support/private_system_bus.h"
#endif

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <optional>

namespace {

const ShownMessage kSuccess{"Firmware upgraded successfully", "OK", MessageStyle::Plain};

class QtFrontEnd : public ::testing::Test, public MainWindowFixture {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();

    void Choose() {
        WriteBytes(folder / "p.qeff", BuildPackage(package));
        dialog.Confirm((folder / "p.qeff").string());
        form.Open->click();
        ASSERT_TRUE(form.Upgrade->isEnabled());
    }
    SimulatedInterface Product() const { return ProductInterface(package, 33, 33); }
    std::vector<QWidget*> CursorWidgets() {
        return {form.GroupBox1, form.GroupBox2, &form,     form.Upgrade,      form.Edit1,
                form.Memo,      form.Open,      form.About, form.Memo->viewport()};
    }
    std::vector<int> Cursors() {
        std::vector<int> shapes;
        for (QWidget* w : CursorWidgets())
            shapes.push_back(w->cursor().shape());
        return shapes;
    }
};

TEST_F(QtFrontEnd, ShowsAPackageOnItsWidgets) {
    package.notes.clear();
    for (int i = 0; i < 40; ++i)
        package.notes += "Line " + std::to_string(i) + "\r\n";
    Choose();
    EXPECT_EQ(form.Edit1->text().toStdString(), (folder / "p.qeff").string());
    EXPECT_EQ(form.Label3->text(), "Product Code:  QSH-200");
    EXPECT_EQ(form.Label2->size(), form.Label2->sizeHint()) << "labels size themselves to their text";
    EXPECT_EQ(form.Memo->toPlainText().split(u'\n').size(), 40);
    EXPECT_GT(form.Memo->verticalScrollBar()->maximum(), 0) << "many lines scroll";
}

TEST_F(QtFrontEnd, AnAttemptRunsOnTheRealTimerWithTheWaitCursorShownAtOnce) {
    Choose();
    ShowAndActivate();
    const std::vector<int> normal = Cursors();
    EXPECT_EQ(form.Memo->viewport()->cursor().shape(), Qt::IBeamCursor);
    const std::size_t product = hid.Attach(Product());
    QCursor::setPos(form.Upgrade->mapToGlobal(QPoint(5, 5)));

    bool busy = false;
    messages.onShow = [&](const ShownMessage&) { busy = !form.Exit->isEnabled(); };
    form.Upgrade->click();
    for (QWidget* w : CursorWidgets())
        EXPECT_EQ(w->cursor().shape(), Qt::WaitCursor) << w->metaObject()->className();
    ASSERT_NE(form.windowHandle(), nullptr);
    EXPECT_EQ(form.windowHandle()->cursor().shape(), Qt::WaitCursor) << "shown without moving the pointer";
    EXPECT_TRUE(form.Timer1->isSingleShot());
    EXPECT_EQ(form.Timer1->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(form.Timer1->interval(), 1);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, 2000));
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(busy);
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(Cursors(), normal) << "each control has its own cursor back";
    EXPECT_TRUE(form.Upgrade->isEnabled());
    EXPECT_FALSE(form.Timer1->isActive());
}

TEST_F(QtFrontEnd, ClosingDuringATransferClosesTheWindowWhenItEnds) {
    Choose();
    ShowAndActivate();
    hid.Attach(Product());
    form.Upgrade->click();
    // The close arrives while the transfer lets window events run.
    QMetaObject::invokeMethod(&form, "close", Qt::QueuedConnection);
    bool openWhileSucceeding = false;
    messages.onShow = [&](const ShownMessage&) { openWhileSucceeding = form.isVisible(); };
    form.Timer1Timer();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(openWhileSucceeding);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(hid.OpenHandles(), 0);
}

#ifdef Q_OS_LINUX
// Fault caught: a transfer that did not take logind's lock against sleep and
// shut-down, took it with other words, or kept it once the attempt was over;
// a system without a bus or without logind that showed an error or held the
// attempt up.
TEST_F(QtFrontEnd, ATransferHoldsOffSleepAndShutdownThroughLogindWhereThereIsOne) {
    enum class System { NoBus, BusWithoutLogind, Logind };
    Choose();
    for (const System system : {System::NoBus, System::BusWithoutLogind, System::Logind}) {
        SCOPED_TRACE(static_cast<int>(system));
        hid.DetachAll();
        hid.Attach(Product());  // a product takes its firmware once
        TempFolder busFolder;
        std::optional<PrivateSystemBus> bus;
        if (system == System::NoBus) {
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QByteArray::fromStdString((busFolder / "none").string()));
        } else {
            bus.emplace(busFolder.Path());
            if (!bus->Running())
                GTEST_SKIP() << bus->Problem();
            if (system == System::Logind) {
                ASSERT_TRUE(bus->StartLogind());
            }
        }

        // Sampled while the transfer lets window events run, and when its box shows.
        bool heldWhileWriting = false, releasedAtTheBox = false;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            const int progress = form.bar->Progress();
            heldWhileWriting = heldWhileWriting || (progress > 0 && progress < 100 && bus && bus->LockHeld());
        });
        sampler.start(0);  // at every pass of the events the transfer lets run
        messages.shown.clear();
        messages.onShow = [&](const ShownMessage&) { releasedAtTheBox = bus && bus->LockReleasedWithin(1000); };
        form.Upgrade->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, 5000));
        EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess}) << "nothing said of the lock";
        EXPECT_TRUE(form.Upgrade->isEnabled());
        if (system != System::Logind) {
            qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
            continue;
        }
        const std::vector<std::vector<std::string>> inhibit{
            {"sleep:shutdown", "Quorvella USB Upgrade Utility", "Upgrading firmware; do not switch off", "block"}};
        EXPECT_EQ(bus->InhibitCalls(), inhibit);
        EXPECT_TRUE(heldWhileWriting);
        // Fault caught: the lock kept while the outcome's box waits for the user.
        EXPECT_TRUE(releasedAtTheBox) << "the lock is closed once the firmware is written, before its box";
    }
}
#endif

TEST_F(QtFrontEnd, ScreenReadersSeeTheGaugeAsAProgressBarWithItsValue) {
    QAccessibleInterface* gauge = QAccessible::queryAccessibleInterface(form.bar);
    ASSERT_NE(gauge, nullptr);
    EXPECT_EQ(gauge->role(), QAccessible::ProgressBar);
    EXPECT_EQ(gauge->text(QAccessible::Description), "Upgrade progress bar");
    form.bar->SetProgress(42);
    QAccessibleValueInterface* value = gauge->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->currentValue().toInt(), 42);
    EXPECT_EQ(value->minimumValue().toInt(), 0);
    EXPECT_EQ(value->maximumValue().toInt(), 100);
}

}  // namespace
