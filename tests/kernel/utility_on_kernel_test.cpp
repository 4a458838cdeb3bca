// Runs inside a guest kernel, offscreen: the whole utility, its real windows
// and its Linux backend, upgrading a virtual product on a real hidraw node.

#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/tcgauge.h"
#include "gui_fixtures.h"
#include "package_files.h"
#include "platform/native_hid.h"
#include "attached_product.h"

#include <QPushButton>
#include <QTest>

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

}  // namespace
