// The virtual product's own logic, over a transport that hands it reports on
// the serving thread as uhid and the USB gadget do.

#include "support/package_files.h"
#include "support/transfer_fixtures.h"
#include "simulated/virtual_product.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class HandedReports final : public VirtualProduct {
public:
    HandedReports(const VirtualProductOptions& options, std::vector<std::vector<std::uint8_t>> reports)
        : VirtualProduct(options), reports_(std::move(reports)) {}

    void Serve(const std::atomic<bool>& stop) override {
        for (; next_ < reports_.size() && !stop && !Hung(); ++next_) {
            Take(reports_[next_].data(), reports_[next_].size(), withId);
            std::this_thread::yield();  // let the watcher look in between
        }
        handed = true;
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Unplug() override { unplugged_ = true; }
    // Stops a serve once every report was handed, or the product hung: a
    // stop after a fixed time cut a slow machine's serve short.
    void StopWhenHanded(std::atomic<bool>& stop) {
        while (!handed)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stop = true;
    }
    std::atomic<bool> handed{false};
    int answers = 0;
    bool withId = true;  // the transport delivers the ID byte, as uhid does

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
    std::thread stopper([&] { product.StopWhenHanded(stop); });
    EXPECT_FALSE(product.ServeOneUpgrade(stop));
    stopper.join();
    EXPECT_EQ(product.ReportsReceived(), 3u);
    EXPECT_EQ(product.answers, 1);
}

// Fault caught: a product that takes reports of any ID, or of any length, in
// which a host that numbers its reports wrongly, or sends them without the ID
// byte where the product numbers them, still passes for one that works.
TEST(VirtualProduct, AReportOfAnotherIdOrLengthIsRefusedAndCounted) {
    struct Row {
        const char* what;
        std::uint8_t productId;  // the product's output report ID
        bool withId;             // the transport delivers the ID byte
        std::uint8_t sentId;
        int cut;  // bytes taken off the report's end
        bool taken;
    };
    for (const Row& row : {Row{"its own ID", 2, true, 2, 0, true},
                           Row{"ID 0 to a numbered product", 2, true, 0, 0, false},
                           Row{"another ID", 2, true, 1, 0, false},
                           Row{"one byte short", 2, true, 2, 1, false},
                           Row{"unnumbered, its 0 stripped", 0, false, 0, 1, true},
                           Row{"unnumbered, an ID sent", 0, false, 1, 0, false},
                           Row{"numbered, the ID stripped", 2, false, 0, 1, false}}) {
        SCOPED_TRACE(row.what);
        Upgrade u;
        u.options.product.outputReportId = row.productId;
        for (auto& report : u.reports) {
            report[0] = row.sentId;
            if (!row.withId && row.cut)
                report.erase(report.begin());  // the transport strips it
            else
                report.resize(report.size() - static_cast<std::size_t>(row.cut));
        }
        HandedReports product(u.options, u.reports);
        product.withId = row.withId;
        std::atomic<bool> stop{false};
        std::thread stopper([&] { product.StopWhenHanded(stop); });
        EXPECT_EQ(product.ServeOneUpgrade(stop), row.taken);
        stopper.join();
        EXPECT_EQ(product.Product().Payload().empty(), !row.taken);
        EXPECT_EQ(product.Product().ReportsRefused(), row.taken ? 0u : u.reports.size());
        EXPECT_EQ(product.answers, row.taken ? 4 : 0);
    }
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
