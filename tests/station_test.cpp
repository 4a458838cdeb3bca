// qefftool's station against the simulated product, attached and detached from
// the test's thread while the station runs on another.

#include "qefftool/exit_codes.h"
#include "package_files.h"
#include "process_holdings.h"
#include "simulated/simulated_hid.h"
#include "slow_answers.h"
#include "station_lines.h"
#include "qefftool/station_output.h"
#include "qefftool/watch_command.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <streambuf>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

using Lines = StationLines;

std::size_t Count(const std::vector<json>& lines, const std::string& event) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const json& l) { return l["event"] == event; }));
}

class Station : public ::testing::Test {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();
    SimulatedHid hid;
    HidSystem* system = &hid;  // or the simulated system behind a decorator
    Lines lines;
    std::ostream stream{&lines};
    std::ostringstream errors;  // looked at once the station ended
    StationOutput out{stream, true, errors};
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
            exitCode = RunWatch(options, *system, *a, out, stop);
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
    SimulatedInterface Product(std::string serial, std::string location, std::vector<BlockAnswer> answers = {}) const {
        auto product = ProductInterface(package, 65, 65, std::move(answers));
        product.identity = {std::move(serial), std::move(location), std::nullopt};
        return product;
    }
    // Runs the station with `output` until it ends, which it must within 5 s
    // (or it is stopped, and the test fails).
    int RunHere(StationOutput& output) {
        const auto arrivals = hid.Arrivals();
        std::atomic<bool> ended{false};
        int code = -1;
        std::thread run([&] {
            code = RunWatch(options, *system, *arrivals, output, stop);
            ended = true;
        });
        const auto until = Clock::now() + 5s;
        while (!ended && Clock::now() < until)
            std::this_thread::sleep_for(2ms);
        EXPECT_TRUE(ended) << "the station did not end";
        stop = true;
        run.join();
        stop = false;
        return code;
    }
    bool Done(std::size_t n) {
        return lines.WaitFor([n](const auto& l) { return Count(l, "done") >= n; });
    }
};

// Faults caught: a product upgraded again while it stays plugged in, or again
// once it comes back after its upgrade (told as returned instead); a twin
// plugged in while the first is still there taken for it; products
// plugged in together taken one after the other or one of them missed; a
// product noticed late. With the system's notifications and by looking at the
// enumeration again.
class Arrivals : public Station, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Notified, Arrivals, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "LookingAgain" : "Notified"; });

TEST_P(Arrivals, EachProductIsUpgradedOnceAndSoonAfterItCame) {
    const bool polled = GetParam();
    Start(polled ? PollingArrivals() : nullptr);
    std::map<std::size_t, Clock::time_point> attached;
    const auto attach = [&](const char* serial, const char* location) {
        const auto at = Clock::now();
        const std::size_t i = hid.Attach(Product(serial, location));
        attached[i] = at;
        return i;
    };
    const std::size_t a = attach("00A1", "usb-1-1");
    ASSERT_TRUE(Done(1));
    std::this_thread::sleep_for(polled ? 600ms : 100ms);  // it stays: no second upgrade
    const std::size_t b = attach("00A2", "usb-1-2");
    const std::size_t c = attach("00A3", "usb-1-3");
    ASSERT_TRUE(Done(3));
    const std::size_t twin = attach("00A2", "usb-1-9");  // while the first 00A2 is still plugged in
    ASSERT_TRUE(Done(4));
    hid.Detach(a);
    const std::size_t again = attach("00A1", "usb-1-1");  // restarted into its new firmware
    ASSERT_TRUE(lines.WaitFor([](const auto& l) { return Count(l, "returned") == 1; }));
    stop = true;
    EXPECT_EQ(Finish(), ExitInterrupted) << "Ctrl-C ended it";

    for (const std::size_t i : {a, b, c, twin, again}) {
        const auto arrived = lines.FirstAt("arrived", "sim:" + std::to_string(i));
        ASSERT_NE(arrived, Clock::time_point{}) << i;
        EXPECT_LT(arrived - attached[i], 500ms) << i;
    }
    for (const std::size_t i : {a, b, c, twin})
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
    EXPECT_TRUE(hid.Log(again).reports.empty()) << "upgraded once, not again when it came back";
    EXPECT_EQ(hid.Log(a).opens, 1) << "opened once while attached";
    EXPECT_EQ(hid.OpenHandles(), 0);
    const auto returned = lines.Events("returned");
    EXPECT_EQ(returned[0]["path"], "sim:" + std::to_string(again));
    EXPECT_EQ(returned[0]["serial"], "00A1");
    const auto done = lines.Events("done");
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done.back()["outcome"], "upgraded");
    EXPECT_EQ(done.back()["exitCode"], 0);
    EXPECT_EQ(done.back().value("duplicateSerial", false), true) << "a twin, not the first come back";
    const auto summary = lines.Events("summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["products"], 4);
    EXPECT_EQ(summary[0]["outcomes"], (json{{"upgraded", 4}}));
}

// Faults caught: --count counting failures, or the station not stopping at it;
// the exit code not the worst outcome; a product that failed not upgraded when
// plugged in again; a product that does not match the location chosen
// upgraded anyway.
TEST_F(Station, CountsOnlyUpgradesAndEndsWithTheWorstOutcome) {
    options.limits.count = 2;
    options.choice.location = "usb-1-1";
    Start();
    const std::size_t refusing = hid.Attach(Product("00A1", "usb-1-1", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    const std::size_t other = hid.Attach(Product("00B7", "usb-1-2"));
    ASSERT_TRUE(Done(1));
    hid.Detach(refusing);
    const std::size_t good = hid.Attach(Product("00A1", "usb-1-1"));  // the same product, plugged in again
    ASSERT_TRUE(Done(2));
    EXPECT_TRUE(station.joinable());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(lines.Events("summary").size(), 0u) << "one upgraded, one refused: not yet two upgraded";
    const std::size_t last = hid.Attach(Product("00A4", "usb-1-1"));
    EXPECT_EQ(Finish(), ExitRefused) << "ends by itself at the count, with the worst outcome";
    EXPECT_EQ(hid.Product(good).Payload(), package.firmware);
    EXPECT_EQ(hid.Product(last).Payload(), package.firmware);
    EXPECT_EQ(hid.Log(refusing).reports.size(), 2u * 16);
    EXPECT_TRUE(hid.Log(other).reports.empty()) << "another location";
    EXPECT_EQ(lines.Events("summary")[0]["outcomes"], (json{{"upgraded", 2}, {"refused the firmware", 1}}));
    const auto done = lines.Events("done");
    EXPECT_EQ(done[1]["tries"], 2) << "its second try";
    EXPECT_EQ(done[1]["attempt"], 2);
}

// Fault caught: a station that looks for products with a package whose hash
// is not the one it was pinned to.
TEST_F(Station, APackageWhoseHashDiffersIsRefusedBeforeAnyProductIsLookedFor) {
    const std::size_t waiting = hid.Attach(Product("00A1", "usb-1-1"));
    options.sha256 = Sha256Digest{};
    const auto arrivals = hid.Arrivals();
    station = std::thread([&] { exitCode = RunWatch(options, *system, *arrivals, out, stop); });
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
// report in half, leaves a device open, or is told as success; an upgrade
// started from the queue after Ctrl-C.
TEST_F(Station, CtrlCStopsEveryRunningUpgradeBetweenReports) {
    package.firmware = CountingPayload(200000);
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    SlowAnswers slow(hid, 5ms);
    system = &slow;
    options.limits.maxParallel = 1;
    lines.onLine = [&](const json& line) {
        if (line["event"] == "progress")
            stop = true;  // as the first product passes its first tenth
    };
    const std::size_t first = hid.Attach(Product("00A1", "usb-1-1"));
    const std::size_t waiting = hid.Attach(Product("00A2", "usb-1-2"));
    Start();
    EXPECT_EQ(Finish(), ExitInterrupted);
    EXPECT_LT(hid.Product(first).Payload().size(), package.firmware.size());
    for (const auto& report : hid.Log(first).reports)
        ASSERT_EQ(report.size(), 65u) << "whole reports only";
    EXPECT_TRUE(hid.Log(waiting).reports.empty()) << "none started from the queue";
    EXPECT_EQ(hid.OpenHandles(), 0);
    EXPECT_EQ(lines.Events("queued").size(), 1u);
    const auto done = lines.Events("done");
    ASSERT_EQ(done.size(), 2u);
    for (const json& line : done) {
        EXPECT_EQ(line["outcome"], "interrupted");
        if (line["path"] == "sim:" + std::to_string(waiting)) {
            EXPECT_EQ(line["bytesSent"], 0);
        }
    }
    EXPECT_EQ(lines.Events("summary")[0]["outcomes"], (json{{"interrupted", 2}}));
}

// Faults caught: a progress line per report rather than per tenth; a serial
// number (a device's text) printed raw on the terminal, where its escapes
// would drive it, or with a quote that prints a false location after it.
TEST_F(Station, TextLinesTellEveryTenthAndShowDeviceTextEscaped) {
    const std::size_t i = hid.Attach(Product("\x1b]0;owned\x07\" at \"usb-9", "usb-1-1"));
    options.limits.count = 1;
    std::ostringstream text;
    StationOutput plain(text, false, errors);
    EXPECT_EQ(RunHere(plain), ExitSuccess);
    const std::string shown = text.str();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("done sim:" + std::to_string(i) + " serial \"\\x1b]0;owned\\x07\\\" at \\\"usb-9\" at \"usb-1-1\""),
              std::string::npos)
        << shown;
    std::size_t progress = 0;
    for (std::size_t at = 0; (at = shown.find("%\n", at)) != std::string::npos; ++at)
        ++progress;
    EXPECT_EQ(progress, 9u) << "10% to 90%: one line a tenth\n" << shown;
}

// Faults caught: a JSON line without its UTC time; twins (one serial number on
// two products at once) not both upgraded or not flagged; a refusal's code or
// the bytes sent missing from `done`; an interface that may not be opened not
// told with how to grant access; a record line missing or not telling the
// product; --skip-recorded upgrading a product the record tells was upgraded
// with this package, or stumbling on a torn last line.
TEST_F(Station, TellsTimesTwinsDenialsAndKeepsARecordAcrossRuns) {
    const std::string record = Utf8(folder / "record.jsonl");
    options.record = record;
    options.station = "line-3";
    options.operatorName = "Ana";
    const std::size_t good = hid.Attach(Product("00D1", "usb-1-1"));
    const std::size_t twin = hid.Attach(Product("00D1", "usb-1-2", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    SimulatedInterface locked = Product("00D2", "usb-1-3");  // no udev rule for it yet
    locked.accessDenied = true;
    locked.advertisesIds = true;
    const std::size_t lockedAt = hid.Attach(locked);
    Start();
    ASSERT_TRUE(Done(2));
    ASSERT_TRUE(lines.WaitFor([](const auto& l) { return Count(l, "denied") >= 1; }));
    stop = true;
    EXPECT_EQ(Finish(), ExitInterrupted);

    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    std::vector<json> all = lines.Events("package");
    for (const char* event : {"watching", "arrived", "progress", "message", "done", "summary"})
        for (const json& line : lines.Events(event))
            all.push_back(line);
    for (const json& line : all)
        EXPECT_TRUE(std::regex_match(line.value("time", ""), utc)) << line;
    const auto deniedLines = lines.Events("denied");
    ASSERT_EQ(deniedLines.size(), 1u) << "told once";
    const json& denied = deniedLines[0];
    EXPECT_EQ(hid.Log(lockedAt).reports.size(), 0u);
    EXPECT_EQ(denied["event"], "denied");
    EXPECT_EQ(denied["path"], "sim:" + std::to_string(lockedAt));
    EXPECT_TRUE(std::regex_match(denied.value("time", ""), utc)) << denied;
#ifdef _WIN32
    EXPECT_NE(denied["text"].get<std::string>().find("Another program holds it"), std::string::npos);
#else
    EXPECT_NE(denied["text"].get<std::string>().find("sudo /usr/share/quorvella-upgrade-utility/install-udev-rule.sh "
                                                     "1d50 6018 (or scripts/install-udev-rule.sh 1d50 6018"),
              std::string::npos);
#endif
    const auto done = lines.Events("done");
    ASSERT_EQ(done.size(), 2u);
    for (const json& line : done) {
        EXPECT_EQ(line.value("duplicateSerial", false), true) << line;
        const bool refused = line["path"] == "sim:" + std::to_string(twin);
        EXPECT_EQ(line["bytesSent"], refused ? 2048u : 5000u) << line;
        EXPECT_EQ(line.contains("ackCode"), refused) << line;
        EXPECT_EQ(line.value("ackCode", 0), refused ? 6 : 0) << line;
    }
    EXPECT_EQ(hid.Product(good).Payload(), package.firmware);

    std::ifstream in(record, std::ios::binary);
    std::vector<json> records;
    for (std::string line; std::getline(in, line);)
        records.push_back(json::parse(line));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records.front()["record"], "start");
    EXPECT_EQ(records.back()["record"], "stop");
    for (const json& r : records) {
        EXPECT_EQ(r["station"], "line-3");
        EXPECT_EQ(r["operator"], "Ana");
        EXPECT_EQ(r["sha256"], lines.Events("package")[0]["sha256"]);
    }
    for (const json& r : {records[1], records[2]}) {
        EXPECT_EQ(r["record"], "product");
        EXPECT_EQ(r["serial"], "00D1");
        EXPECT_TRUE(r["duplicateSerial"].get<bool>());
        for (const char* field : {"start", "end", "package", "firmwareCode", "vendorId", "productId", "location",
                                  "release", "outcome", "exitCode", "message", "bytesSent", "seconds", "attempt"})
            EXPECT_TRUE(r.contains(field)) << field;
    }

    // The next run, with a line torn by a crash at the end.
    std::ofstream(record, std::ios::app | std::ios::binary) << R"({"record":"product","serial":"00D)";
    hid.DetachAll();
    const std::size_t back = hid.Attach(Product("00D1", "usb-2-1"));
    const std::size_t fresh = hid.Attach(Product("00E5", "usb-2-2"));
    options.skipRecorded = true;
    options.limits.count = 1;
    stop = false;
    StationOutput second(stream, true, errors);
    EXPECT_EQ(RunHere(second), ExitSuccess);
    EXPECT_TRUE(hid.Log(back).reports.empty()) << "recorded as upgraded with this package";
    EXPECT_EQ(hid.Product(fresh).Payload(), package.firmware);
    const auto returned = lines.Events("returned");
    ASSERT_EQ(returned.size(), 1u);
    EXPECT_EQ(returned[0]["recorded"], true);
    // Fault caught: the next run's first line run on from the torn one, so
    // that neither reads as a line.
    std::ifstream after(record);
    std::size_t starts = 0;
    for (std::string text; std::getline(after, text);)
        starts += json::accept(text) && json::parse(text).value("record", "") == "start";
    EXPECT_EQ(starts, 2u) << "each run's start read, the second's after the torn line";
}

// Faults caught: a line that cannot be written taken as written, the station
// going on taking products, its running upgrade abandoned, or a zero exit
// code; the same for a record that cannot be written.
TEST_F(Station, AnOutputThatCannotBeWrittenStopsTheStation) {
    struct Broken final : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
    };
    struct Case {
        const char* name;
        bool brokenOutput;
        const char* record;
    };
    const std::vector<Case> cases = {
        {"closed output", true, nullptr},
#ifndef _WIN32
        {"full disk under the record", false, "/dev/full"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hid.DetachAll();
        const std::size_t running = hid.Attach(Product("00F1", "usb-1-1"));
        Broken broken;
        std::ostream brokenStream(&broken);
        std::ostringstream shown, told;
        StationOutput output(c.brokenOutput ? brokenStream : static_cast<std::ostream&>(shown), false, told);
        if (c.record)
            options.record = c.record;
        EXPECT_EQ(RunHere(output), ExitOutput) << "ends by itself";
        EXPECT_NE(told.str().find("cannot be written; the station takes no new product"), std::string::npos)
            << told.str();
        const auto& log = hid.Log(running);
        EXPECT_TRUE(log.reports.empty() || hid.Product(running).Payload() == package.firmware)
            << "an upgrade started is finished";
        EXPECT_EQ(hid.OpenHandles(), 0);
    }
}

// Faults caught: a consumer that takes no lines holding up the transfers (the
// upgrades must end at their own pace) or the record (which must not wait for
// a terminal), or `done` and the summary lost while the writer is behind.
TEST_F(Station, AStalledConsumerHoldsUpNoUpgrade) {
    options.record = Utf8(folder / "stalled.jsonl");
    struct Stalled final : std::streambuf {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        std::string text;
        int_type overflow(int_type c) override {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return open; });
            text += static_cast<char>(c);
            return c;
        }
    } stalled;
    std::ostream stalledStream(&stalled);
    StationOutput output(stalledStream, true, errors);
    std::vector<std::size_t> products;
    for (const char* serial : {"00S1", "00S2", "00S3", "00S4", "00S5", "00S6", "00S7", "00S8"})
        products.push_back(hid.Attach(Product(serial, std::string("usb-") + serial)));
    SlowAnswers watched(hid, 0ms);  // tells when each device is closed, its upgrade over
    system = &watched;
    std::thread ran([&] { exitCode = RunHere(output); });
    const auto until = Clock::now() + 5s;
    while (watched.Closed() < static_cast<int>(products.size()) && Clock::now() < until)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(watched.Closed(), static_cast<int>(products.size())) << "every upgrade over while nothing could be written";
    const auto recorded = [&] {
        std::ifstream record(*options.record);
        std::size_t n = 0;
        for (std::string line; std::getline(record, line);)
            n += line.find("\"record\":\"product\"") != std::string::npos;
        return n;
    };
    for (const auto by = Clock::now() + 5s; recorded() < products.size() && Clock::now() < by;)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(recorded(), products.size()) << "every product recorded while the output was stalled";
    stop = true;
    {
        const std::lock_guard lock(stalled.mutex);
        stalled.open = true;
    }
    stalled.released.notify_all();
    ran.join();
    for (const std::size_t i : products)
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
    EXPECT_EQ(exitCode, ExitInterrupted);
    std::istringstream written(stalled.text);
    std::size_t done = 0, summaries = 0;
    for (std::string line; std::getline(written, line);) {
        const json parsed = json::parse(line);
        done += parsed["event"] == "done";
        summaries += parsed["event"] == "summary";
    }
    EXPECT_EQ(done, products.size());
    EXPECT_EQ(summaries, 1u);
}

// Faults caught: more upgrades at once than --max-parallel; a queued product
// that left upgraded or not told; the line going on after N failures in a row,
// not saying why, or starting a queued product after it stopped.
TEST_F(Station, TheLineQueuesAndStopsItselfAfterFailuresInARow) {
    SlowAnswers slow(hid, 50ms);
    system = &slow;
    options.limits.maxParallel = 1;
    options.limits.stopAfterFailures = 2;
    const std::vector<BlockAnswer> refuse = {BlockAnswer::Code(1), BlockAnswer::Code(6)};
    const std::size_t first = hid.Attach(Product("00R1", "usb-1-1", refuse));
    const std::size_t second = hid.Attach(Product("00R2", "usb-1-2", refuse));
    const std::size_t leaving = hid.Attach(Product("00R3", "usb-1-3"));
    const std::size_t third = hid.Attach(Product("00R4", "usb-1-4"));
    lines.onLine = [&](const json& line) {
        if (line["event"] == "queued" && line["path"] == "sim:" + std::to_string(leaving))
            hid.Detach(leaving);
    };
    Start();
    EXPECT_EQ(Finish(), ExitRefused) << "ends by itself";
    EXPECT_EQ(hid.Log(first).reports.size(), 2u * 16);
    EXPECT_EQ(hid.Log(second).reports.size(), 2u * 16);
    EXPECT_TRUE(hid.Log(leaving).reports.empty());
    EXPECT_TRUE(hid.Log(third).reports.empty()) << "not started after the line stopped";
    EXPECT_EQ(hid.OpenHandles(), 0);
    EXPECT_EQ(lines.Events("queued").size(), 3u);
    const auto left = lines.Events("left");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]["path"], "sim:" + std::to_string(leaving));
    const auto stopping = lines.Events("stopping");
    ASSERT_EQ(stopping.size(), 1u);
    EXPECT_NE(stopping[0]["reason"].get<std::string>().find("2 products in a row"), std::string::npos);
    // Fault caught: the product never tried told and counted as a failure
    // ("not upgraded", exit code 4) when the line stopped itself.
    EXPECT_EQ(lines.Events("summary")[0]["outcomes"], (json{{"refused the firmware", 2}}));
    const auto notTaken = lines.Events("notTaken");
    ASSERT_EQ(notTaken.size(), 1u);
    EXPECT_EQ(notTaken[0]["path"], "sim:" + std::to_string(third));
    // One at a time: each started after the one before was done.
    EXPECT_LT(lines.FirstAt("done", "sim:" + std::to_string(first)),
              lines.FirstAt("progress", "sim:" + std::to_string(second)));
}

// A shift's worth of plugs against the simulated system, which hands out the
// lowest free path as hidraw does, in batches plugged in together, each product
// with a drawn fault. Faults caught: a product told of or recorded twice or not
// at all; an outcome carried over to the next product at the same path; a
// product that comes back after its upgrade upgraded again; twins not both
// upgraded and flagged; a denied plug not told; whatever a product leaves
// behind (a device, a thread, a descriptor, memory) that shows only over many.
TEST_F(Station, AThousandPlugsAreEachToldAndRecordedOnceAndLeaveNothingBehind) {
    SimulatedHid line(SimulatedHid::Paths::LowestFree);
    system = &line;
    options.record = Utf8(folder / "soak.jsonl");
    enum Fault { Good, Refusing, Silent, Unplugged, Returning, Twins, Denied, Faults };
    std::mutex mutex;
    std::map<std::string, int> count;  // "serial outcome" (or "serial returned"): how often
    std::size_t deniedTold = 0;
    std::set<std::string> twinsFlagged, twins;
    lines.onLine = [&](const json& l) {
        const std::lock_guard lock(mutex);
        const std::string event = l["event"];
        if (event == "done") {
            ++count[l.value("serial", "") + " " + l.value("outcome", "")];
            if (l.value("duplicateSerial", false))
                twinsFlagged.insert(l.value("serial", ""));
        }
        else if (event == "returned")
            ++count[l.value("serial", "") + " returned"];
        else if (event == "denied")
            ++deniedTold;
    };
    Start(line.Arrivals());
    lines.keep = false;  // the test keeps counts, not lines

    std::mt19937 draw(20261209);
    int faults[Faults] = {};
    std::map<std::string, int> expected;
    std::vector<std::pair<std::string, std::string>> upgradedOnce;  // serial, location: to come back
    std::vector<std::size_t> denied;                                // still plugged in, not yet told
    std::size_t deniedPlugs = 0, plugs = 0;
    ProcessHoldings warm;
    const auto settled = [&] {
        return lines.WaitFor([&](const auto&) {
            const std::lock_guard lock(mutex);
            for (const auto& [what, n] : expected)
                if (count[what] != n)
                    return false;
            return true;
        });
    };
    for (int batch = 0; plugs < 1000; ++batch) {
        std::vector<std::size_t> plugged;
        std::vector<std::pair<std::string, std::string>> upgradedNow;
        for (int i = 0; i < 10 && plugs < 1000; ++i, ++plugs) {
            const auto fault = static_cast<Fault>(draw() % Faults);
            ++faults[fault];
            const std::string serial = "S" + std::to_string(plugs), location = "usb-soak-" + std::to_string(plugs);
            SimulatedInterface product = Product(serial, location);
            switch (fault) {
            case Good:
                ++expected[serial + " upgraded"];
                upgradedNow.emplace_back(serial, location);  // may come back from the next batch on
                break;
            case Refusing:
                product.product.answers = {BlockAnswer::Code(1), BlockAnswer::Code(4 + draw() % 7)};
                ++expected[serial + " refused the firmware"];
                break;
            case Silent:
                product.product.answers = {BlockAnswer::Code(1), BlockAnswer::Of(BlockAnswer::Kind::Silence)};
                ++expected[serial + " timed out or lost"];
                break;
            case Unplugged:
                product.goneAfterReports = 1 + draw() % 70;  // of 79
                ++expected[serial + " timed out or lost"];
                break;
            case Returning:
                if (!upgradedOnce.empty()) {  // an earlier product, back after its upgrade
                    const std::size_t k = draw() % upgradedOnce.size();
                    product.identity.serial = upgradedOnce[k].first;
                    product.identity.location = upgradedOnce[k].second;
                    ++expected[upgradedOnce[k].first + " returned"];
                    upgradedOnce.erase(upgradedOnce.begin() + static_cast<std::ptrdiff_t>(k));
                } else {
                    ++expected[serial + " upgraded"];
                }
                break;
            case Twins: {
                SimulatedInterface twin = Product(serial, location + "-twin");
                plugged.push_back(line.Attach(std::move(twin)));
                // Both upgraded; flagged where the other came while it was
                // still attached (the first may have been done before the
                // second was noticed: its record stands as written).
                expected[serial + " upgraded"] += 2;
                twins.insert(serial);
                break;
            }
            case Denied:
                product.accessDenied = true;
                product.advertisesIds = true;
                ++deniedPlugs;
                break;
            case Faults: break;
            }
            if (fault == Twins)
                product.identity.location = location;
            const std::size_t at = line.Attach(std::move(product));
            (fault == Denied ? denied : plugged).push_back(at);
        }
        if (!settled()) {
            const std::lock_guard lock(mutex);
            std::string seen;
            for (const auto& [what, n] : count)
                seen += what + "=" + std::to_string(n) + "; ";
            std::string want;
            for (const auto& [what, n] : expected)
                want += what + "=" + std::to_string(n) + "; ";
            FAIL() << "batch " << batch << "\nseen: " << seen << "\nwanted: " << want;
        }
        for (const std::size_t i : plugged)
            line.Detach(i);
        for (const std::size_t i : plugged)
            line.Forget(i);  // the test's own records must not grow
        upgradedOnce.insert(upgradedOnce.end(), upgradedNow.begin(), upgradedNow.end());
        {
            const std::lock_guard lock(mutex);
            if (deniedTold == deniedPlugs) {  // each told: unplugged, none upgraded
                for (const std::size_t i : denied) {
                    EXPECT_TRUE(line.Log(i).reports.empty());
                    line.Detach(i);
                    line.Forget(i);
                }
                denied.clear();
            }
        }
        if (plugs == 100)
            warm = HoldingsNow();
    }
    ASSERT_TRUE(lines.WaitFor([&](const auto&) {
        const std::lock_guard lock(mutex);
        return deniedTold == deniedPlugs;
    }));
    for (const std::size_t i : denied)
        line.Detach(i);
    std::this_thread::sleep_for(50ms);  // the station sees them go
    const ProcessHoldings after = HoldingsNow();
    stop = true;
    EXPECT_EQ(Finish(), ExitInterrupted);

    EXPECT_EQ(count, expected) << "each product told of once, as its fault calls for";
    std::map<std::string, int> recorded;
    std::ifstream record(*options.record);
    for (std::string text; std::getline(record, text);) {
        const json r = json::parse(text);
        if (r["record"] == "product")
            ++recorded[r.value("serial", "") + " " + r.value("outcome", "")];
    }
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first.ends_with(" returned") ? expected.erase(it) : std::next(it);
    EXPECT_EQ(recorded, expected) << "each finished product recorded once";
    EXPECT_EQ(twinsFlagged, twins) << "twins flagged";
    EXPECT_EQ(after.descriptors, warm.descriptors);
    EXPECT_EQ(after.threads, warm.threads);
    // What is kept of each product to know it again (the station's by its
    // serial number, the simulated system's slot, the test's tallies), and no
    // more: a product's package or reports left behind would be kilobytes more.
    const auto perPlug = (after.heap - std::min(after.heap, warm.heap)) / (plugs - 100);
    EXPECT_LT(perPlug, 2500u) << "heap after 100 plugs " << warm.heap << ", after 1000 " << after.heap;
    std::printf("soak: %zu plugs (good %d, refusing %d, silent %d, unplugged %d, returning %d, twins %d, denied %d); "
                "descriptors %ld/%ld, threads %ld/%ld, heap %zu/%zu bytes after 100 and 1000\n",
                plugs, faults[Good], faults[Refusing], faults[Silent], faults[Unplugged], faults[Returning],
                faults[Twins], faults[Denied], warm.descriptors, after.descriptors, warm.threads, after.threads,
                warm.heap, after.heap);
}

}  // namespace
