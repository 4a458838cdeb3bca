// The virtual product's own logic, over a transport that hands it reports on
// the serving thread as uhid and the USB gadget do.

#include "package_files.h"
#include "support/transfer_fixtures.h"
#include "virtual_product.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class HandedReports final : public VirtualProduct {
public:
    HandedReports(const VirtualProductOptions& options, std::vector<std::vector<std::uint8_t>> reports)
        : VirtualProduct(options), reports_(std::move(reports)) {}

    void Serve(const std::atomic<bool>& stop) override {
        for (; next_ < reports_.size() && !stop && !Hung(); ++next_) {
            Take(reports_[next_].data(), reports_[next_].size(), false);
            std::this_thread::yield();  // let the watcher look in between
        }
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Unplug() override { unplugged_ = true; }
    int answers = 0;

private:
    void SendInputReport(const std::uint8_t*, std::size_t) override { ++answers; }
    std::vector<std::vector<std::uint8_t>> reports_;
    std::size_t next_ = 0;
};

// 512 payload bytes in blocks of 128: eight reports of 64, four answers.
struct Upgrade {
    PackageContents package = SamplePackage();
    VirtualProductOptions options;
    std::vector<std::vector<std::uint8_t>> reports;
    Upgrade() {
        package.firmware = CountingPayload(512);
        package.blockLength = 128;
        options.product = ProductFor(package, 65, 65, {});
        for (std::size_t at = 0; at < 512; at += 64) {
            std::vector<std::uint8_t> report{0};
            report.insert(report.end(), package.firmware.begin() + static_cast<std::ptrdiff_t>(at),
                          package.firmware.begin() + static_cast<std::ptrdiff_t>(at + 64));
            reports.push_back(report);
        }
    }
};

TEST(VirtualProduct, AnUpgradeIsWatchedWhileItIsServed) {
    Upgrade u;
    HandedReports product(u.options, u.reports);
    const std::atomic<bool> stop{false};
    EXPECT_TRUE(product.ServeOneUpgrade(stop));
    EXPECT_EQ(product.Product().Payload(), u.package.firmware);
    EXPECT_EQ(product.answers, 4);
}

TEST(VirtualProduct, AHungProductTakesNoMoreReports) {
    Upgrade u;
    u.options.stopReadingAfterReports = 3;
    HandedReports product(u.options, u.reports);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    EXPECT_FALSE(product.ServeOneUpgrade(stop));
    stopper.join();
    EXPECT_EQ(product.ReportsReceived(), 3u);
    EXPECT_EQ(product.answers, 1);
}

TEST(VirtualProduct, APackageReadInPartIsRefused) {
    const auto bytes = BuildPackage(Upgrade().package);
    MemoryPackage whole(bytes), cut(bytes);
    cut.deliversAtMost = bytes.size() - 1;
    VirtualProductOptions options;
    std::vector<std::uint8_t> payload;
    EXPECT_FALSE(LoadExpectedPackage(cut, options, payload));
    ASSERT_TRUE(LoadExpectedPackage(whole, options, payload));
    EXPECT_EQ(payload, Upgrade().package.firmware);
    EXPECT_EQ(options.product.blockLength, 128u);
    EXPECT_EQ(options.product.payloadSize, 512u);
}

}  // namespace
