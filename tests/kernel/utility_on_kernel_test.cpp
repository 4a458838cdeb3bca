// Runs inside a guest kernel, offscreen: the whole utility, its real windows
// and its Linux backend, upgrading a virtual product on a real hidraw node.

#include "app/quorvella_upgrade_utility.h"
#include "app/tcgauge.h"
#include "gui_fixtures.h"
#include "package_files.h"
#include "platform/native_hid.h"
#include "virtual_product.h"

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sched.h>

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
        dialog.Confirm(QString::fromStdString(path.string()));
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
        VirtualProductOptions o;
        o.vendorId = package.vendorId;
        o.productId = package.productId;
        o.product = ProductFor(package, 65, 65, std::move(answers));
        return o;
    }
};

// A uhid product served at real-time priority while it is in scope.
struct Served {
    UhidProduct product;
    std::atomic<bool> stop{false};
    std::thread server;

    explicit Served(const VirtualProductOptions& o) : product(o) {
        server = std::thread([this] {
            sched_param p{};
            p.sched_priority = 50;
            (void)sched_setscheduler(0, SCHED_FIFO, &p);
            product.Serve(stop);
        });
    }
    ~Served() { Stop(); }
    // Stops serving, so that what the product took can be looked at.
    const SimulatedProduct& Stop() {
        stop = true;
        if (server.joinable())
            server.join();
        return product.Product();
    }
};

TEST_F(UtilityOnKernel, UpgradesAProductThroughTheWindow) {
    package.firmware = CountingPayload(30000);
    package.blockLength = 1024;
    Served served(Options());
    ASSERT_TRUE(served.product.Error().empty()) << served.product.Error();
    form.show();
    Choose();
    Upgrade();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_EQ(form.bar->Progress(), 0);
    EXPECT_TRUE(form.Exit->isEnabled());
    EXPECT_EQ(served.Stop().Payload(), package.firmware);
}

TEST_F(UtilityOnKernel, ShowsTheProductsRefusal) {
    package.firmware = CountingPayload(4000);
    package.blockLength = 1024;
    Served served(Options({BlockAnswer::Code(1), BlockAnswer::Code(8)}));
    ASSERT_TRUE(served.product.Error().empty()) << served.product.Error();
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
