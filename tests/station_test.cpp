// qefftool's station against the simulated product, attached and detached from
// the test's thread while the station runs on another.

#include "exit_codes.h"
#include "package_files.h"
#include "simulated/simulated_hid.h"
#include "station_output.h"
#include "watch_command.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The station's lines as they come, for a test on another thread to wait for
// and to act on.
class Lines final : public std::streambuf {
public:
    std::function<void(const json&)> onLine;  // on the station's thread

    // Waits up to 5 s until `enough` holds for the lines so far.
    bool WaitFor(const std::function<bool(const std::vector<json>&)>& enough) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return enough(lines_); });
    }
    std::vector<json> Events(const std::string& event) {
        const std::lock_guard lock(mutex_);
        std::vector<json> found;
        for (const json& line : lines_)
            if (line["event"] == event)
                found.push_back(line);
        return found;
    }
    Clock::time_point FirstAt(const std::string& event, const std::string& path) {
        const std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i]["event"] == event && lines_[i].value("path", "") == path)
                return times_[i];
        return {};
    }

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof())
            return c;
        const std::lock_guard lock(mutex_);
        if (c != '\n') {
            partial_ += static_cast<char>(c);
            return c;
        }
        lines_.push_back(json::parse(partial_));  // every line is one JSON object
        times_.push_back(Clock::now());
        partial_.clear();
        if (onLine)
            onLine(lines_.back());
        changed_.notify_all();
        return c;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string partial_;
    std::vector<json> lines_;
    std::vector<Clock::time_point> times_;
};

std::size_t Count(const std::vector<json>& lines, const std::string& event) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const json& l) { return l["event"] == event; }));
}

class Station : public ::testing::Test {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();
    SimulatedHid hid;
    Lines lines;
    std::ostream stream{&lines};
    StationOutput out{stream, true};
    std::atomic<bool> stop{false};
    WatchOptions options;
    std::thread station;
    int exitCode = -1;

    void SetUp() override {
        package.firmware = CountingPayload(5000);
        package.blockLength = 1024;
        WriteBytes(folder / "p.qeff", BuildPackage(package));
        options.package = Utf8(folder / "p.qeff");
    }
    void Start(std::unique_ptr<HidArrivals> arrivals = nullptr) {
        station = std::thread([this, a = std::move(arrivals)]() mutable {
            if (!a)
                a = hid.Arrivals();
            exitCode = RunWatch(options, hid, *a, out, stop);
        });
        ASSERT_TRUE(lines.WaitFor([](const auto& l) { return Count(l, "watching") == 1; }));
    }
    int Finish() {
        station.join();
        return exitCode;
    }
    void TearDown() override {
        stop = true;
        if (station.joinable())
            station.join();
    }
    SimulatedInterface Product(DeviceIdentity identity, std::vector<BlockAnswer> answers = {}) const {
        auto product = ProductInterface(package, 65, 65, std::move(answers));
        product.identity = std::move(identity);
        return product;
    }
    bool Done(std::size_t n) {
        return lines.WaitFor([n](const auto& l) { return Count(l, "done") >= n; });
    }
};

// Faults caught: a product upgraded again while it stays plugged in (or never
// again once plugged in anew); products plugged in together taken one after
// the other or one of them missed; a product noticed late. With the system's
// notifications and by looking at the enumeration again.
class Arrivals : public Station, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Notified, Arrivals, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "LookingAgain" : "Notified"; });

TEST_P(Arrivals, EachProductIsUpgradedOnceWhileItStaysAttachedAndSoonAfterItCame) {
    const bool polled = GetParam();
    Start(polled ? PollingArrivals() : nullptr);
    std::map<std::size_t, Clock::time_point> attached;
    const auto attach = [&](DeviceIdentity identity) {
        const auto at = Clock::now();
        const std::size_t i = hid.Attach(Product(std::move(identity)));
        attached[i] = at;
        return i;
    };
    const std::size_t a = attach({"00A1", "usb-1-1"});
    ASSERT_TRUE(Done(1));
    std::this_thread::sleep_for(polled ? 600ms : 100ms);  // it stays: no second upgrade
    const std::size_t b = attach({"00A2", "usb-1-2"});
    const std::size_t c = attach({"00A3", "usb-1-3"});
    ASSERT_TRUE(Done(3));
    hid.Detach(a);
    const std::size_t again = attach({"00A1", "usb-1-1"});
    ASSERT_TRUE(Done(4));
    stop = true;
    EXPECT_EQ(Finish(), ExitSuccess);

    for (const std::size_t i : {a, b, c, again}) {
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
        const auto arrived = lines.FirstAt("arrived", "sim:" + std::to_string(i));
        ASSERT_NE(arrived, Clock::time_point{}) << i;
        EXPECT_LT(arrived - attached[i], 500ms) << i;
    }
    EXPECT_EQ(hid.Log(a).opens, 1) << "opened once while attached";
    EXPECT_EQ(hid.OpenHandles(), 0);
    const auto done = lines.Events("done");
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done.back()["serial"], "00A1");
    EXPECT_EQ(done.back()["location"], "usb-1-1");
    EXPECT_EQ(done.back()["outcome"], "upgraded");
    EXPECT_EQ(done.back()["exitCode"], 0);
    const auto summary = lines.Events("summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["products"], 4);
    EXPECT_EQ(summary[0]["outcomes"], (json{{"upgraded", 4}}));
}

// Faults caught: --count counting failures, or the station not stopping at it;
// the exit code not the worst outcome; a product that does not match the
// serial number chosen upgraded anyway.
TEST_F(Station, CountsOnlyUpgradesAndEndsWithTheWorstOutcome) {
    options.count = 2;
    options.choice.serial = "00A1";
    Start();
    const std::size_t refusing = hid.Attach(Product({"00A1", "usb-1-1"}, {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    const std::size_t other = hid.Attach(Product({"00B7", "usb-1-2"}));
    ASSERT_TRUE(Done(1));
    const std::size_t good = hid.Attach(Product({"00A1", "usb-1-3"}));
    ASSERT_TRUE(Done(2));
    EXPECT_TRUE(station.joinable());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(lines.Events("summary").size(), 0u) << "one upgraded, one refused: not yet two upgraded";
    const std::size_t last = hid.Attach(Product({"00A1", "usb-1-4"}));
    EXPECT_EQ(Finish(), ExitRefused) << "ends by itself at the count, with the worst outcome";
    EXPECT_EQ(hid.Product(good).Payload(), package.firmware);
    EXPECT_EQ(hid.Product(last).Payload(), package.firmware);
    EXPECT_EQ(hid.Log(refusing).reports.size(), 2u * 16);
    EXPECT_TRUE(hid.Log(other).reports.empty()) << "another serial number";
    EXPECT_EQ(lines.Events("summary")[0]["outcomes"], (json{{"upgraded", 2}, {"refused the firmware", 1}}));
}

// Fault caught: a station that looks for products with a package whose hash
// is not the one it was pinned to.
TEST_F(Station, APackageWhoseHashDiffersIsRefusedBeforeAnyProductIsLookedFor) {
    const std::size_t waiting = hid.Attach(Product({"00A1", "usb-1-1"}));
    options.sha256 = Sha256Digest{};
    const auto arrivals = hid.Arrivals();
    station = std::thread([&] { exitCode = RunWatch(options, hid, *arrivals, out, stop); });
    EXPECT_TRUE(lines.WaitFor([](const auto& l) { return Count(l, "summary") == 1; })) << "it ended by itself";
    stop = true;
    EXPECT_EQ(Finish(), ExitPackage);
    EXPECT_EQ(hid.Log(waiting).opens, 0);
    EXPECT_TRUE(lines.Events("watching").empty());
    const auto messages = lines.Events("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0]["text"].get<std::string>().find("Nothing was sent."), std::string::npos);
}

// Faults caught: Ctrl-C that waits for the running upgrades to end, cuts a
// report in half, leaves a device open, or is told as success.
TEST_F(Station, CtrlCStopsEveryRunningUpgradeBetweenReports) {
    package.firmware = CountingPayload(200000);
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    lines.onLine = [&](const json& line) {
        if (line["event"] == "progress")
            stop = true;  // as the first product passes its first tenth
    };
    Start();
    const std::size_t first = hid.Attach(Product({"00A1", "usb-1-1"}));
    EXPECT_EQ(Finish(), ExitInterrupted);
    EXPECT_LT(hid.Product(first).Payload().size(), package.firmware.size());
    for (const auto& report : hid.Log(first).reports)
        ASSERT_EQ(report.size(), 65u) << "whole reports only";
    EXPECT_EQ(hid.OpenHandles(), 0);
    const auto done = lines.Events("done");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0]["outcome"], "interrupted");
    EXPECT_EQ(lines.Events("summary")[0]["outcomes"], (json{{"interrupted", 1}}));
}

}  // namespace
