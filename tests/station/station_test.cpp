// The station against the simulated product, attached and detached from the
// test's thread while the station runs on another; read through its events,
// but for the two cases that read the lines qefftool prints.

#include "support/process_holdings.h"
#include "qefftool/station_output.h"
#include "station/record_chain.h"
#include "support/simulated_station.h"
#include "station/record_line.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Kind = StationEvent::Kind;
using Outcomes = std::map<Outcome, int>;

std::string Sim(std::size_t index) { return "sim:" + std::to_string(index); }

// The JSON lines in `text`, those of `event` alone when one is named.
std::vector<json> Printed(const std::string& text, const char* event = nullptr) {
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (json parsed = json::parse(line); !event || parsed["event"] == event)
            lines.push_back(std::move(parsed));
    return lines;
}

class Station : public ::testing::Test, protected SimulatedStation {};

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
    ASSERT_TRUE(Start(polled ? PollingArrivals() : nullptr));
    std::map<std::size_t, std::chrono::system_clock::time_point> attached;
    const auto attach = [&](const char* serial, const char* location) {
        const auto at = std::chrono::system_clock::now();
        const std::size_t i = hid.Attach(Product(serial, location));
        attached[i] = at;
        return i;
    };
    const std::size_t a = attach("00A1", "usb-1-1");
    ASSERT_TRUE(events.WaitFor(Kind::Done, 1));
    std::this_thread::sleep_for(polled ? 600ms : 100ms);  // it stays: no second upgrade
    const std::size_t b = attach("00A2", "usb-1-2");
    const std::size_t c = attach("00A3", "usb-1-3");
    ASSERT_TRUE(events.WaitFor(Kind::Done, 3));
    const std::size_t twin = attach("00A2", "usb-1-9");  // while the first 00A2 is still plugged in
    ASSERT_TRUE(events.WaitFor(Kind::Done, 4));
    hid.Detach(a);
    const std::size_t again = attach("00A1", "usb-1-1");  // restarted into its new firmware
    ASSERT_TRUE(events.WaitFor(Kind::Returned));
    station->Interrupt();
    EXPECT_EQ(station->Finish(), Outcome::Interrupted) << "Ctrl-C ended it";

    for (const std::size_t i : {a, b, c, twin, again}) {
        const auto arrived = events.First(Kind::Arrived, Sim(i));
        ASSERT_TRUE(arrived) << i;
        EXPECT_LT(arrived->time - attached[i], 500ms) << i;
    }
    for (const std::size_t i : {a, b, c, twin})
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
    EXPECT_TRUE(hid.Log(again).reports.empty()) << "upgraded once, not again when it came back";
    EXPECT_EQ(hid.Log(a).opens, 1) << "opened once while attached";
    EXPECT_EQ(hid.OpenHandles(), 0);
    const auto returned = events.Of(Kind::Returned);
    EXPECT_EQ(returned[0].product.path, Sim(again));
    EXPECT_EQ(returned[0].product.identity.serial, "00A1");
    const auto done = events.Of(Kind::Done);
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done.back().product.outcome, Outcome::Upgraded);
    EXPECT_TRUE(done.back().product.duplicateSerial) << "a twin, not the first come back";
    const auto summary = events.Of(Kind::Summary);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].outcomes, (Outcomes{{Outcome::Upgraded, 4}}));
}

// Faults caught: --count counting failures, or the station not stopping at it;
// the exit code not the worst outcome; a product that failed not upgraded when
// plugged in again; a product that does not match the location chosen
// upgraded anyway.
TEST_F(Station, CountsOnlyUpgradesAndEndsWithTheWorstOutcome) {
    options.limits.count = 2;
    options.choice.location = "usb-1-1";
    ASSERT_TRUE(Start());
    const std::size_t refusing = hid.Attach(Product("00A1", "usb-1-1", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    const std::size_t other = hid.Attach(Product("00B7", "usb-1-2"));
    ASSERT_TRUE(events.WaitFor(Kind::Done, 1));
    hid.Detach(refusing);
    const std::size_t good = hid.Attach(Product("00A1", "usb-1-1"));  // the same product, plugged in again
    ASSERT_TRUE(events.WaitFor(Kind::Done, 2));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(station->Ended()) << "one upgraded, one refused: not yet two upgraded";
    EXPECT_TRUE(events.Of(Kind::Summary).empty());
    const std::size_t last = hid.Attach(Product("00A4", "usb-1-1"));
    EXPECT_EQ(station->Finish(), Outcome::Refused) << "ends by itself at the count, with the worst outcome";
    EXPECT_EQ(hid.Product(good).Payload(), package.firmware);
    EXPECT_EQ(hid.Product(last).Payload(), package.firmware);
    EXPECT_EQ(hid.Log(refusing).reports.size(), 2u * 16);
    EXPECT_TRUE(hid.Log(other).reports.empty()) << "another location";
    EXPECT_EQ(events.Of(Kind::Summary).at(0).outcomes, (Outcomes{{Outcome::Upgraded, 2}, {Outcome::Refused, 1}}));
    const auto done = events.Of(Kind::Done);
    EXPECT_EQ(done[1].product.tries, 2) << "its second try";
    EXPECT_EQ(done[1].product.attempt, 2);
}

// Fault caught: a station that looks for products with a package whose hash
// is not the one it was pinned to. (qefftool upgrade's own pin is tried in
// qefftool_upgrade_test.cpp.) A refused start is told to the output alone.
TEST_F(Station, APackagePinnedToAnotherHashIsRefusedBeforeWatching) {
    const std::size_t waiting = hid.Attach(Product("00A1", "usb-1-1"));
    options.sha256 = Sha256Digest{};
    EXPECT_FALSE(Start());
    EXPECT_EQ(station->Finish(), Outcome::FileError) << "it ended by itself";
    EXPECT_EQ(hid.Log(waiting).opens, 0);
    EXPECT_TRUE(written.Of(Kind::Watching).empty());
    EXPECT_EQ(written.Of(Kind::Summary).size(), 1u);
    const auto messages = written.Of(Kind::Message);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("Nothing was sent."), std::string::npos);
}

// Faults caught: Ctrl-C that waits for the running upgrades to end, cuts a
// report in half, leaves a device open, or is told as success; an upgrade
// started from the queue after Ctrl-C.
TEST_F(Station, CtrlCStopsEveryRunningUpgradeBetweenReports) {
    package.firmware = CountingPayload(200000);
    AnswerAfter(5ms);
    options.limits.maxParallel = 1;
    const std::size_t first = hid.Attach(Product("00A1", "usb-1-1"));
    const std::size_t waiting = hid.Attach(Product("00A2", "usb-1-2"));
    Start();
    EXPECT_TRUE(events.WaitFor(Kind::Progress));
    station->Interrupt();  // once the first product told its first tenth, long before its last
    EXPECT_EQ(station->Finish(), Outcome::Interrupted);
    EXPECT_LT(hid.Product(first).Payload().size(), package.firmware.size());
    for (const auto& report : hid.Log(first).reports)
        ASSERT_EQ(report.size(), 65u) << "whole reports only";
    EXPECT_TRUE(hid.Log(waiting).reports.empty()) << "none started from the queue";
    EXPECT_EQ(hid.OpenHandles(), 0);
    EXPECT_EQ(events.Of(Kind::Queued).size(), 1u);
    const auto done = events.Of(Kind::Done);
    ASSERT_EQ(done.size(), 2u);
    for (const StationEvent& e : done) {
        EXPECT_EQ(e.product.outcome, Outcome::Interrupted);
        if (e.product.path == Sim(waiting)) {
            EXPECT_EQ(e.product.bytesSent, 0u);
        }
    }
    EXPECT_EQ(events.Of(Kind::Summary).at(0).outcomes, (Outcomes{{Outcome::Interrupted, 2}}));
    EXPECT_EQ(events.Of(Kind::Stopping).at(0).by, "a signal") << "who asked";
}

// The lines qefftool watch prints, as text. Faults caught: a progress line
// per report rather than per tenth; a serial number (a device's text) printed
// raw on the terminal, where its escapes would drive it, or with a quote that
// prints a false location after it.
TEST_F(Station, TextLinesTellEveryTenthAndShowDeviceTextEscaped) {
    const std::size_t i = hid.Attach(Product("\x1b]0;owned\x07\" at \"usb-9", "usb-1-1"));
    options.limits.count = 1;
    std::ostringstream text;
    StationOutput plain(text, false);
    output = &plain;
    Start();
    EXPECT_EQ(station->Finish(), Outcome::Upgraded);
    const std::string shown = text.str();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("done " + Sim(i) + " serial \"\\x1b]0;owned\\x07\\\" at \\\"usb-9\" at \"usb-1-1\""),
              std::string::npos)
        << shown;
    std::size_t progress = 0;
    for (std::size_t at = 0; (at = shown.find("%\n", at)) != std::string::npos; ++at)
        ++progress;
    EXPECT_EQ(progress, 9u) << "10% to 90%: one line a tenth\n" << shown;
}

// The lines qefftool watch --json prints, and its record. Faults caught: a
// JSON line without its UTC time; twins (one serial number on two products at
// once) not both upgraded or not flagged; a refusal's code or the bytes sent
// missing from `done`, or an outcome, an exit code or a count not told by its
// name and number; an interface that may not be opened not told with how to
// grant access; a record line missing or not telling the product;
// --skip-recorded upgrading a product the record tells was upgraded with this
// package, or stumbling on a torn last line; the runs' lines not one chain
// sealed with the key, or the torn line not passed over.
TEST_F(Station, TellsTimesTwinsDenialsAndKeepsARecordAcrossRuns) {
    const std::string record = Utf8(file.folder / "record.jsonl");
    const std::string key = "a secret of the line, kept apart";
    std::ofstream(file.folder / "record.key", std::ios::binary) << key << "\n";
    options.record = record;
    options.recordKey = Utf8(file.folder / "record.key");
    options.station = "line-3";
    options.operatorName = "Ana";
    const std::size_t good = hid.Attach(Product("00D1", "usb-1-1"));
    const std::size_t twin = hid.Attach(Product("00D1", "usb-1-2", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    SimulatedInterface locked = Product("00D2", "usb-1-3");  // no udev rule for it yet
    locked.accessDenied = true;
    locked.advertisesIds = true;
    const std::size_t lockedAt = hid.Attach(locked);
    std::ostringstream printed;
    StationOutput lines(printed, true);
    output = &lines;
#ifndef _WIN32
    file.Write();
    options.trust = SignedWithOpenssl(file.path);  // its verified signer on every record line
#endif
    Start();
    const bool told = events.WaitFor(Kind::Done, 2) && events.WaitFor(Kind::Denied);
    station->Interrupt();
    EXPECT_EQ(station->Finish(), Outcome::Interrupted);
    ASSERT_TRUE(told);

    const std::string shown = printed.str();
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const json& line : Printed(shown))
        EXPECT_TRUE(std::regex_match(line.value("time", ""), utc)) << line;
    const auto denied = Printed(shown, "denied");
    ASSERT_EQ(denied.size(), 1u) << "told once";
    EXPECT_EQ(hid.Log(lockedAt).reports.size(), 0u);
    EXPECT_EQ(denied[0]["path"], Sim(lockedAt));
#ifdef _WIN32
    EXPECT_NE(denied[0]["text"].get<std::string>().find("Another program holds it"), std::string::npos);
#else
    EXPECT_NE(denied[0]["text"].get<std::string>().find("sudo /usr/share/quorvella-upgrade-utility/install-udev-rule.sh "
                                                        "1d50 6018 (or scripts/install-udev-rule.sh 1d50 6018"),
              std::string::npos);
#endif
    const auto done = Printed(shown, "done");
    ASSERT_EQ(done.size(), 2u);
    for (const json& line : done) {
        EXPECT_EQ(line.value("duplicateSerial", false), true) << line;
        const bool refused = line["path"] == Sim(twin);
        EXPECT_EQ(line["bytesSent"], refused ? 2048u : 5000u) << line;
        EXPECT_EQ(line.contains("ackCode"), refused) << line;
        EXPECT_EQ(line.value("ackCode", 0), refused ? 6 : 0) << line;
        EXPECT_EQ(line["outcome"], refused ? "refused the firmware" : "upgraded") << line;
        EXPECT_EQ(line["exitCode"], refused ? 6 : 0) << line;
    }
    const auto summary = Printed(shown, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["products"], 2);
    EXPECT_EQ(summary[0]["outcomes"], (json{{"upgraded", 1}, {"refused the firmware", 1}}));
    EXPECT_EQ(summary[0]["exitCode"], 8);
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
        EXPECT_EQ(r["sha256"], Printed(shown, "package").at(0)["sha256"]);
#ifndef _WIN32
        EXPECT_EQ(r.value("signer", ""), "CN=Publisher");
#endif
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
    Start();
    EXPECT_EQ(station->Finish(), Outcome::Upgraded);
    EXPECT_TRUE(hid.Log(back).reports.empty()) << "recorded as upgraded with this package";
    EXPECT_EQ(hid.Product(fresh).Payload(), package.firmware);
    const auto returned = Printed(printed.str(), "returned");
    ASSERT_EQ(returned.size(), 1u);
    EXPECT_EQ(returned[0]["recorded"], true);
    // Fault caught: the next run's first line run on from the torn one, so
    // that neither reads as a line.
    std::ifstream after(record);
    std::size_t starts = 0;
    for (std::string text; std::getline(after, text);)
        starts += json::accept(text) && json::parse(text).value("record", "") == "start";
    EXPECT_EQ(starts, 2u) << "each run's start read, the second's after the torn line";
    std::ostringstream whole;
    whole << std::ifstream(record, std::ios::binary).rdbuf();
    const ChainCheck chain = CheckRecordChain(whole.str(), key);
    EXPECT_TRUE(chain.Holds()) << chain.line << ": " << chain.why;
    EXPECT_EQ(chain.torn, std::vector<std::size_t>{5});
}

// Faults caught: --skip-recorded trusting a record that was changed, or
// looking for products before it refused it; a record key too short or that
// cannot be read taken, or refused as anything but a bad option.
TEST_F(Station, ARecordThatCannotBeTrustedIsRefusedBeforeWatching) {
    struct Case {
        const char* name;
        const char* key;  // the key file's contents; null: no such file
        Outcome outcome;
        const char* told;
    };
    const std::vector<Case> cases = {
        {"a line changed", "a secret of the line, kept apart", Outcome::FileError,
         "does not hold at line 2: its MAC does not match"},
        {"a short key", "short secret", Outcome::Usage, "shorter than 16 bytes: make a longer secret."},
        {"no key file", nullptr, Outcome::Usage, "cannot be read"},
    };
    const std::size_t waiting = hid.Attach(Product("00A1", "usb-1-1"));
    const std::string record = Utf8(file.folder / "changed.jsonl");
    options.record = record;
    options.recordKey = Utf8(file.folder / "line.key");
    std::ofstream(file.folder / "line.key", std::ios::binary) << cases[0].key;
    options.limits.count = 1;
    ASSERT_TRUE(Start());
    EXPECT_EQ(station->Finish(), Outcome::Upgraded);
    std::ostringstream kept;
    kept << std::ifstream(record, std::ios::binary).rdbuf();
    std::string changed = kept.str();
    changed.replace(changed.find("00A1"), 4, "00A2");
    std::ofstream(record, std::ios::binary | std::ios::trunc) << changed;

    options.skipRecorded = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(file.folder / "line.key");
        if (c.key)
            std::ofstream(file.folder / "line.key", std::ios::binary) << c.key;
        RecordedEvents refused;
        output = &refused;
        const int opens = hid.Log(waiting).opens;
        Start();
        EXPECT_EQ(station->Finish(), c.outcome) << "it ended by itself";
        EXPECT_EQ(hid.Log(waiting).opens, opens) << "no product looked for";
        EXPECT_TRUE(refused.Of(Kind::Watching).empty());
        const auto messages = refused.Of(Kind::Message);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].text.find(c.told), std::string::npos) << messages[0].text;
        station.reset();
    }
}

// Fault caught: a product denied at its plug tried again a second later
// instead of every 50 ms at first, so that one whose permissions come a
// moment after it appears waits a second.
TEST_F(Station, AProductItMayNotOpenIsTriedAgainEvery50msAtFirst) {
    SimulatedInterface locked = Product("00D2", "usb-1-3");
    locked.accessDenied = true;
    locked.advertisesIds = true;
    const std::size_t lockedAt = hid.Attach(locked);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(events.WaitFor(Kind::Denied));  // told after half a second of tries
    EXPECT_GE(hid.Log(lockedAt).openAttempts, 5) << "tried every 50 ms before it was told";
}

// Faults caught: a line that cannot be written taken as written, the station
// going on taking products, its running upgrade abandoned, or a zero exit
// code; the same for a record that cannot be written.
TEST_F(Station, AnOutputThatCannotBeWrittenStopsTheStation) {
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
        std::ostream closed(nullptr);  // every write fails
        std::ostringstream shown, told;
        StationOutput out(c.brokenOutput ? closed : shown, false, told);
        output = &out;
        if (c.record)
            options.record = c.record;
        Start();
        EXPECT_EQ(station->Finish(), Outcome::OutputFailed) << "ends by itself";
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
    options.record = Utf8(file.folder / "stalled.jsonl");
    written.held = true;
    std::vector<std::size_t> products;
    for (const char* serial : {"00S1", "00S2", "00S3", "00S4", "00S5", "00S6", "00S7", "00S8"})
        products.push_back(hid.Attach(Product(serial, std::string("usb-") + serial)));
    AnswerAfter(0ms);  // tells when each device is closed, its upgrade over
    Start();
    EXPECT_TRUE(Within(5s, [&] { return slow->Closed() == static_cast<int>(products.size()); }))
        << "every upgrade over while nothing could be written";
    const auto recorded = [&] {
        std::ifstream record(*options.record);
        std::size_t n = 0;
        for (std::string line; std::getline(record, line);)
            n += line.find("\"record\":\"product\"") != std::string::npos;
        return n;
    };
    EXPECT_TRUE(Within(5s, [&] { return recorded() == products.size(); }))
        << "every product recorded while the output was stalled";
    station->Interrupt();
    written.held = false;
    EXPECT_EQ(station->Finish(), Outcome::Interrupted);
    for (const std::size_t i : products)
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
    EXPECT_EQ(written.Of(Kind::Done).size(), products.size());
    EXPECT_EQ(written.Of(Kind::Summary).size(), 1u);
}

// Faults caught: more upgrades at once than --max-parallel; a queued product
// that left upgraded or not told; the line going on after N failures in a row,
// not saying why, or starting a queued product after it stopped.
TEST_F(Station, TheLineQueuesAndStopsItselfAfterFailuresInARow) {
    AnswerAfter(50ms);
    options.limits.maxParallel = 1;
    options.limits.stopAfterFailures = 2;
    const std::vector<BlockAnswer> refuse = {BlockAnswer::Code(1), BlockAnswer::Code(6)};
    const std::size_t first = hid.Attach(Product("00R1", "usb-1-1", refuse));
    const std::size_t second = hid.Attach(Product("00R2", "usb-1-2", refuse));
    const std::size_t leaving = hid.Attach(Product("00R3", "usb-1-3"));
    const std::size_t third = hid.Attach(Product("00R4", "usb-1-4"));
    events.onEvent = [&](const StationEvent& e) {
        if (e.kind == Kind::Queued && e.product.path == Sim(leaving))
            hid.Detach(leaving);
    };
    Start();
    EXPECT_EQ(station->Finish(), Outcome::Refused) << "ends by itself";
    EXPECT_EQ(hid.Log(first).reports.size(), 2u * 16);
    EXPECT_EQ(hid.Log(second).reports.size(), 2u * 16);
    EXPECT_TRUE(hid.Log(leaving).reports.empty());
    EXPECT_TRUE(hid.Log(third).reports.empty()) << "not started after the line stopped";
    EXPECT_EQ(hid.OpenHandles(), 0);
    EXPECT_EQ(events.Of(Kind::Queued).size(), 3u);
    const auto left = events.Of(Kind::Left);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].product.path, Sim(leaving));
    const auto stopping = events.Of(Kind::Stopping);
    ASSERT_EQ(stopping.size(), 1u);
    EXPECT_NE(stopping[0].text.find("2 products in a row"), std::string::npos);
    // Fault caught: the product never tried told and counted as a failure
    // ("not upgraded", exit code 4) when the line stopped itself.
    EXPECT_EQ(events.Of(Kind::Summary).at(0).outcomes, (Outcomes{{Outcome::Refused, 2}}));
    const auto notTaken = events.Of(Kind::NotTaken);
    ASSERT_EQ(notTaken.size(), 1u);
    EXPECT_EQ(notTaken[0].product.path, Sim(third));
    // One at a time: each started after the one before was done.
    EXPECT_LT(events.First(Kind::Done, Sim(first)).value().time, events.First(Kind::Progress, Sim(second)).value().time);
}

// With a release expected, three products upgraded: one back with it, one
// back with its old one, one never back. Faults caught: a product counted (by
// --count) when its transfer ended rather than once it came back running the
// release expected; one back upgraded again; the release it came back with
// not told; one never back left waiting for ever, or the station ending
// (its count reached) before those verifying came back; the record without
// the releases and whether it was verified.
TEST_F(Station, AReleaseExpectedCountsAProductOnceItCameBackRunningIt) {
    options.limits.expectRelease = 0x0241;
    options.limits.verifyWithin = 1500ms;
    options.limits.count = 1;
    const auto attach = [&](const char* serial, const char* location, std::uint16_t release) {
        SimulatedInterface product = Product(serial, location);
        product.identity.release = release;
        return hid.Attach(product);
    };
    const std::size_t good = attach("00V1", "usb-1-1", 0x0100);
    const std::size_t old = attach("00V2", "usb-1-2", 0x0100);
    const std::size_t gone = attach("00V3", "usb-1-3", 0x0100);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(events.WaitFor(Kind::Verifying, 3));
    EXPECT_TRUE(events.Of(Kind::Done).empty()) << "none counted before it came back";
    EXPECT_TRUE(events.Of(Kind::Stopping).empty()) << "--count 1 not reached by an upgrade alone";
    hid.Detach(good);
    const std::size_t goodBack = attach("00V1", "usb-1-1", 0x0241);
    ASSERT_TRUE(events.WaitFor(Kind::Done, 1));
    hid.Detach(old);
    const std::size_t oldBack = attach("00V2", "usb-1-2", 0x0100);
    EXPECT_EQ(station->Finish(), Outcome::NotVerified) << "ends once the last one's time is up, with the worst";

    for (const std::size_t i : {good, old, gone})
        EXPECT_EQ(hid.Product(i).Payload(), package.firmware) << i;
    EXPECT_TRUE(hid.Log(goodBack).reports.empty()) << "not upgraded again";
    EXPECT_TRUE(hid.Log(oldBack).reports.empty()) << "not upgraded again";
    const auto done = events.Of(Kind::Done);
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].product.path, Sim(good));
    EXPECT_EQ(done[0].product.outcome, Outcome::Verified);
    EXPECT_EQ(done[1].product.path, Sim(old));
    EXPECT_EQ(done[1].product.outcome, Outcome::NotVerified);
    EXPECT_NE(done[1].product.message.find("release 1.00, not 2.41"), std::string::npos) << done[1].product.message;
    EXPECT_EQ(done[2].product.path, Sim(gone));
    EXPECT_EQ(done[2].product.outcome, Outcome::NotReturned);
    EXPECT_EQ(events.Of(Kind::Returned).size(), 2u);
    EXPECT_EQ(events.Of(Kind::Stopping).size(), 1u) << "stopped by its count once the first was verified";
    EXPECT_EQ(events.Of(Kind::Summary).at(0).outcomes,
              (Outcomes{{Outcome::Verified, 1}, {Outcome::NotVerified, 1}, {Outcome::NotReturned, 1}}));
    const RecordHeader header{"line-3", "Ana", {}};
    const json verified = json::parse(RecordLine(done[0], header));
    const json notVerified = json::parse(RecordLine(done[1], header));
    const json notReturned = json::parse(RecordLine(done[2], header));
    EXPECT_EQ(verified["verified"], true);
    EXPECT_EQ(verified["releaseBefore"], "1.00");
    EXPECT_EQ(verified["releaseAfter"], "2.41");
    EXPECT_EQ(verified["success"], true);
    EXPECT_EQ(notVerified["verified"], false);
    EXPECT_EQ(notVerified["releaseAfter"], "1.00");
    EXPECT_EQ(notVerified["exitCode"], 10);
    EXPECT_EQ(notReturned["verified"], false);
    EXPECT_EQ(notReturned["releaseAfter"], nullptr);
    EXPECT_EQ(notReturned["exitCode"], 7);
    EXPECT_EQ(notReturned["outcome"], "not returned");
}

// Faults caught: a pause asked for before the station runs (the page, while it
// starts) lost, or told before the package and what it watches for (a script
// reads `package` first); a product plugged in meanwhile started anyway.
TEST_F(Station, APauseAskedForBeforeItRunsHoldsOnceItWatches) {
    startPaused = true;
    ASSERT_TRUE(Start());
    const std::size_t waiting = hid.Attach(Product("00P1", "usb-1-1"));
    ASSERT_TRUE(events.WaitFor(Kind::Queued));
    std::vector<Kind> order;
    events.WaitUntil([&](const auto& all) {
        for (const StationEvent& e : all)
            if (e.kind == Kind::Package || e.kind == Kind::Watching || e.kind == Kind::Paused)
                order.push_back(e.kind);
        return true;
    });
    EXPECT_EQ(order, (std::vector<Kind>{Kind::Package, Kind::Watching, Kind::Paused}));
    EXPECT_TRUE(hid.Log(waiting).reports.empty()) << "nothing sent while paused";
    // Fault caught: a pause or a stop that does not say who asked.
    EXPECT_EQ(events.Of(Kind::Paused).at(0).by, "the test");
    EXPECT_EQ(events.Of(Kind::Paused).at(0).state, StationState::Paused);
    station->Resume();
    ASSERT_TRUE(events.WaitFor(Kind::Resumed));
    EXPECT_EQ(events.Of(Kind::Resumed).at(0).by, "the test");
    ASSERT_TRUE(events.WaitFor(Kind::Done));
    EXPECT_EQ(events.Of(Kind::Done).at(0).product.outcome, Outcome::Upgraded);
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
    options.record = Utf8(file.folder / "soak.jsonl");
    enum Fault { Good, Refusing, Silent, Unplugged, Returning, Twins, Denied, Faults };
    std::mutex mutex;
    std::map<std::string, int> count;  // "serial outcome" (or "serial returned"): how often
    std::size_t deniedTold = 0;
    std::set<std::string> twinsFlagged, twins;
    events.onEvent = [&](const StationEvent& e) {
        const std::lock_guard lock(mutex);
        const std::string& serial = e.product.identity.serial;
        if (e.kind == Kind::Done) {
            ++count[serial + " " + OutcomeName(e.product.outcome)];
            if (e.product.duplicateSerial)
                twinsFlagged.insert(serial);
        } else if (e.kind == Kind::Returned) {
            ++count[serial + " returned"];
        } else if (e.kind == Kind::Denied) {
            ++deniedTold;
        }
    };
    written.keep = false;
    ASSERT_TRUE(Start(line.Arrivals()));
    events.keep = false;  // the test keeps counts, not events

    std::mt19937 draw(20261209);
    int faults[Faults] = {};
    std::map<std::string, int> expected;
    std::vector<std::pair<std::string, std::string>> upgradedOnce;  // serial, location: to come back
    std::vector<std::size_t> denied;                                // still plugged in, not yet told
    std::size_t deniedPlugs = 0, plugs = 0;
    ProcessHoldings warm;
    const auto settled = [&] {
        return events.WaitUntil([&](const auto&) {
            const std::lock_guard lock(mutex);
            for (const auto& [what, n] : expected)
                if (count[what] != n)
                    return false;
            return true;
        });
    };
    // What the process holds once the last upgrades' threads were joined: the
    // station joins them at its next look (every 100 ms, longer under the
    // sanitizers), so the fewest threads seen over a second is what it holds.
    const auto Settled = [] {
        ProcessHoldings fewest = HoldingsNow();
        for (const auto until = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(20ms);
            const ProcessHoldings now = HoldingsNow();
            if (now.threads < fewest.threads)
                fewest = now;
        }
        return fewest;
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
            station.reset();  // ended before what it uses goes
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
            warm = Settled();
    }
    EXPECT_TRUE(events.WaitUntil([&](const auto&) {
        const std::lock_guard lock(mutex);
        return deniedTold == deniedPlugs;
    }));
    for (const std::size_t i : denied)
        line.Detach(i);
    const ProcessHoldings after = Settled();
    station->Interrupt();
    EXPECT_EQ(station->Finish(), Outcome::Interrupted);

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
