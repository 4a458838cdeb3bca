#include "support/gui_fixtures.h"

#include "device/device_discovery.h"
#include "package/package_ids.h"

#include <QApplication>
#include <QTest>

MainWindowFixture::MainWindowFixture() {
    PackageVendorId = 0;
    PackageProductId = 0;
    RetryPending = false;
    DeviceHandle.reset();
}

MainWindowFixture::~MainWindowFixture() {
    DeviceHandle.reset();
    RetryPending = false;
}

void MainWindowFixture::ShowAndActivate() {
    form.show();
    QApplication::setActiveWindow(&form);
    (void)QTest::qWaitForWindowActive(&form, 2000);
}
