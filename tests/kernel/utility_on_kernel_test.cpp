// Runs inside a guest kernel, offscreen: the whole utility, its real windows
// and its Linux backend, upgrading a virtual product on a real hidraw node.

#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/tcgauge.h"
#include "app/qt/unit2.h"
#include "support/gui_fixtures.h"
#include "support/package_files.h"
#include "platform/native_hid.h"
#include "kernel/attached_product.h"

#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>


namespace {

const ShownMessage kSuccess{"Firmware upgraded successfully", "OK", MessageStyle::Plain};

class UtilityOnKernel : public ::testing::Test {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();
    RecordingMessages messages;
    ScriptedOpenDialog dialog;
    std::unique_ptr<HidSystem> hid = NativeHidSystem();
    TForm1 form{messages, dialog, *hid};

    void Choose() {
        const auto path = folder / "firmware.qeff";
        WriteBytes(path, BuildPackage(package));
        dialog.Confirm(path.string());
        form.Open->click();
        ASSERT_TRUE(form.Upgrade->isEnabled());
    }

    // Presses Upgrade and waits, as a user would, for the closing message.
    void Upgrade() {
        const std::size_t before = messages.shown.size();
        form.Upgrade->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return messages.shown.size() > before; }, 60000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.Upgrade->isEnabled(); }, 5000));
    }

    VirtualProductOptions Options(std::vector<BlockAnswer> answers = {}) const {
        return OptionsFor(package, std::move(answers));
    }
};

TEST_F(UtilityOnKernel, UpgradesAProductThroughTheWindow) {
    package.firmware = CountingPayload(30000);
    package.blockLength = 1024;
    Attached product(Transport::Uhid, Options());
    ASSERT_TRUE(product.Up()) << product.Error();
    form.show();
    Choose();
    Upgrade();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_EQ(form.bar->Progress(), 0);
    EXPECT_TRUE(form.Exit->isEnabled());
    EXPECT_EQ(product.Product().Product().Payload(), package.firmware);
}

TEST_F(UtilityOnKernel, ShowsTheProductsRefusal) {
    package.firmware = CountingPayload(4000);
    package.blockLength = 1024;
    Attached product(Transport::Uhid, Options({BlockAnswer::Code(1), BlockAnswer::Code(8)}));
    ASSERT_TRUE(product.Up()) << product.Error();
    form.show();
    Choose();
    Upgrade();
    const ShownMessage refused{"Hardware ID mismatch!", "Error", MessageStyle::Plain};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{refused});
}

TEST_F(UtilityOnKernel, WithoutTheProductWarnsAfterTheSecondSearch) {
    form.show();
    Choose();
    Upgrade();
    // The guest has no other HID device at all.
    const ShownMessage reconnect{"Device not recognized.\nReconnect the device to USB port.", "Warning",
                                 MessageStyle::Information};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{reconnect});
}

TEST_F(UtilityOnKernel, AProductThatStopsTakingReportsNeverFreezesTheWindow) {
    // Over USB, where a report the product does not take holds the kernel's
    // write for seconds: 64 reports a block, and the product hangs after 20.
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    package.firmware = CountingPayload(30000);
    package.blockLength = 4096;
    VirtualProductOptions options = Options();
    options.stopReadingAfterReports = 20;
    Attached product(Transport::Gadget, options);
    ASSERT_TRUE(product.Up()) << product.Error();
    TForm2 about(96);
    form.AboutWindow = &about;
    form.show();
    Choose();

    // From the moment the product stops, a thread posts the window an event
    // every 5 ms, as input would come. The gaps between one processed event and
    // the next tell how long the window did not answer (its own work on an
    // event, such as opening About, is not counted as silence). About is
    // pressed a second into the stall.
    std::atomic<bool> over{false};
    Clock::time_point stopAt{}, messageAt{}, backAt{}, lastDone{};
    Clock::duration longest{}, aboutTook{};
    bool aboutShown = false;
    QObject receiver;
    std::thread prodder([&] {
        while (!over && product.ReportsTaken() < 20)
            std::this_thread::sleep_for(milliseconds(1));
        const auto stopped = Clock::now();
        for (bool first = true; !over; first = false) {
            QMetaObject::invokeMethod(&receiver, [&, stopped, first] {
                const auto now = Clock::now();
                if (first)
                    stopAt = lastDone = stopped;
                if (messageAt == Clock::time_point{}) {
                    longest = std::max(longest, now - lastDone);
                    if (!messages.shown.empty())
                        messageAt = now;
                    if (!aboutShown && now - stopAt > milliseconds(1000)) {
                        form.About->click();
                        aboutShown = about.isVisible();
                        aboutTook = Clock::now() - now;
                    }
                } else if (backAt == Clock::time_point{} && form.Upgrade->isEnabled()) {
                    backAt = now;
                }
                lastDone = Clock::now();
            }, Qt::QueuedConnection);
            std::this_thread::sleep_for(milliseconds(5));
        }
    });
    Upgrade();
    EXPECT_TRUE(QTest::qWaitFor([&] { return backAt != Clock::time_point{}; }, 5000));
    over = true;
    prodder.join();
    QCoreApplication::processEvents();  // nothing posted is left to run after this test

    const ShownMessage timeout{"Timeout error, try upgrade one more time.", "Error", MessageStyle::Exclamation};
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{timeout});
    ASSERT_NE(backAt, Clock::time_point{});
    const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); };
    std::printf("stalled product: the longest gap between processed events %lld ms, About opened in %lld ms, the "
                "message %lld ms after the product stopped, the window back %lld ms after the message\n",
                static_cast<long long>(ms(longest)), static_cast<long long>(ms(aboutTook)),
                static_cast<long long>(ms(messageAt - stopAt)), static_cast<long long>(ms(backAt - messageAt)));
    EXPECT_LT(longest, milliseconds(100)) << "the window kept processing its events";
    EXPECT_TRUE(aboutShown) << "About opens during the stall";
    // 64 reports a block at 50 ms each at most, the acknowledgement's 300 ms, and a second to spare.
    EXPECT_LT(messageAt - stopAt, milliseconds(64 * 50 + 300 + 1000));
    EXPECT_LT(backAt - messageAt, milliseconds(1000)) << "closing the device waits for no write in the kernel";
}

}  // namespace
