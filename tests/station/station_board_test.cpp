// What the station's page shows, from the events a real station model posts.

#include "station/event_fanout.h"
#include "station/station_board.h"
#include "station/station_model.h"
#include "qefftool/station_output.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using nlohmann::json;

class StationBoardTest : public ::testing::Test {
protected:
    static PackageSummary Probe() {
        PackageSummary probe;
        probe.path = "fw.qeff";
        probe.productName = "<b>Probe</b>";
        probe.vendorId = 0x1d50;
        probe.productId = 0x6018;
        return probe;
    }
    StationBoardTest() {
        model.Package();
        model.Watching();
    }
    ~StationBoardTest() override { writer.Close(); }

    std::size_t Plug(const std::string& serial, const std::string& location, bool start = true) {
        const auto [id, verdict] =
            model.Arrive("/dev/hidraw" + std::to_string(next++), location, {serial, location, std::nullopt}, {});
        if (start && verdict == ArrivalVerdict::Start)
            model.Begin(id);
        return id;
    }
    json Status() const { return json::parse(model.Board().StatusJson(std::chrono::system_clock::now())); }
    static const json& TileAt(const json& status, const std::string& place) {
        for (const json& tile : status["products"])
            if (tile["place"] == place)
                return tile;
        static const json none;
        return none;
    }

    PackageSummary package = Probe();
    std::ostringstream lines;
    StationOutput out{lines, true};
    EventFanout writer{out, nullptr, {}};
    StationModel model{StationPolicy({}), writer, {"bench-3", "Ana", package}};
    int next = 0;
};

// Faults caught: tiles in plain string order (port 10 before port 2), a tile
// per product instead of per place (the fixture's tiles pile up), a product's
// refusal without its message and code, a return counted as a failure or in
// the yield, a product cut short or never started by a stop shown as failed
// or counted in the yield, a denied tile left behind once its product is seen at its
// location, the records of /api/status and /api/records in other orders, the stop's reason or the exit code not
// shown.
TEST_F(StationBoardTest, ShowsATilePerPlaceInPortOrderWithCountersRecordsAndWhyItStopped) {
    const std::size_t first = Plug("A1", "1-1.10");
    model.Progress(first, 40, 400, 1000);
    EXPECT_EQ(TileAt(Status(), "1-1.10")["state"], "upgrading");
    EXPECT_EQ(TileAt(Status(), "1-1.10")["percent"], 40);
    model.Finish(first, Outcome::Upgraded, TransferResult{});

    model.Denied("/dev/hidraw9");
    EXPECT_EQ(TileAt(Status(), "/dev/hidraw9")["state"], "denied");
    const auto denied = model.Arrive("/dev/hidraw9", "1-1.3", {"C3", "1-1.3", std::nullopt}, {}).first;
    model.Begin(denied);
    const std::size_t refusing = Plug("B2", "1-1.2");
    model.Message(refusing, "Error", "Firmware refused, code 0x21");
    model.Finish(refusing, Outcome::Refused, TransferResult{TransferOutcome::Refused, 0x21, 0, 0});
    Plug("A1", "1-1.10");  // back after its upgrade
    model.Pause(true);
    const std::size_t waiting = Plug("D4", "1-1.4");
    model.Stop(StopReason::Interrupted);
    model.Finish(denied, Outcome::Interrupted, std::nullopt);
    model.Drop(waiting);
    model.Summary(Outcome::Interrupted);

    const json status = Status();
    std::vector<std::string> places;
    for (const json& tile : status["products"])
        places.push_back(tile["place"]);
    EXPECT_EQ(places, (std::vector<std::string>{"1-1.2", "1-1.3", "1-1.4", "1-1.10"}));
    EXPECT_EQ(TileAt(status, "1-1.10")["state"], "returned");
    const json& refused = TileAt(status, "1-1.2");
    EXPECT_EQ(refused["state"], "refused");
    EXPECT_EQ(refused["message"], "Firmware refused, code 0x21");
    EXPECT_EQ(refused["ackCode"], 0x21);
    EXPECT_EQ(refused["outcome"], "refused the firmware");
    EXPECT_EQ(TileAt(status, "1-1.3")["outcome"], "interrupted");
    EXPECT_EQ(TileAt(status, "1-1.3")["state"], "interrupted");
    EXPECT_EQ(TileAt(status, "1-1.4")["state"], "notStarted");

    const json& counters = status["counters"];
    EXPECT_EQ(counters["upgraded"], 1);
    EXPECT_EQ(counters["failed"], 1);
    EXPECT_EQ(counters["interrupted"], 1);
    EXPECT_EQ(counters["notStarted"], 1);
    EXPECT_EQ(counters["returned"], 1);
    EXPECT_EQ(counters["denied"], 1);
    EXPECT_DOUBLE_EQ(counters["yield"].get<double>(), 1.0 / 2.0);

    EXPECT_EQ(status["station"]["state"], "stopped");
    EXPECT_EQ(status["station"]["exitCode"], 8);
    EXPECT_NE(status["station"]["stopReason"].get<std::string>().find("asked to stop"), std::string::npos);
    EXPECT_EQ(status["package"]["productName"], "<b>Probe</b>");

    const json& records = status["records"];
    ASSERT_EQ(records.size(), 6u);  // start, four products, stop: oldest first, as /api/records
    EXPECT_EQ(records.front()["record"], "start");
    EXPECT_EQ(records[3]["serial"], "C3");
    EXPECT_EQ(records[4]["serial"], "D4");
    EXPECT_EQ(records.back()["record"], "stop");
    EXPECT_EQ(json::parse(model.Board().RecordsJson()), records);
    // Fault caught: ?since= ignored, or taking the records of that very time again.
    EXPECT_EQ(json::parse(model.Board().RecordsJson("2000-01-01T00:00:00.000Z")), records);
    EXPECT_EQ(json::parse(model.Board().RecordsJson("2999-01-01T00:00:00.000Z")), json::array());
    const std::string firstTime = records[0]["time"];
    std::size_t afterFirst = 0;
    for (const json& record : records)
        afterFirst += record["time"].get<std::string>() > firstTime;
    EXPECT_EQ(json::parse(model.Board().RecordsJson(firstTime)).size(), afterFirst);
}

// Faults caught: a product that restarted and came back at its place before
// its last upgrade was told ended losing its tile to that late outcome; a
// product plugged while paused shown as anything but queued.
TEST_F(StationBoardTest, ALateOutcomeLeavesTheNewerProductsTileAndPausedArrivalsWait) {
    const std::size_t gone = Plug("A1", "1-1.2");
    const std::size_t back = Plug("A1", "1-1.2", false);
    model.Finish(gone, Outcome::Lost, std::nullopt);
    EXPECT_EQ(TileAt(Status(), "1-1.2")["id"], back);
    EXPECT_EQ(TileAt(Status(), "1-1.2")["state"], "arrived");

    model.Pause(true);
    EXPECT_EQ(Status()["station"]["state"], "paused");
    Plug("B2", "1-1.4");
    EXPECT_EQ(TileAt(Status(), "1-1.4")["state"], "queued");
    model.Pause(false);
    EXPECT_EQ(Status()["station"]["state"], "watching");
}

// Faults caught: a board that keeps a tile for every place ever seen (a long
// run of products at places never seen again grows without end), or that
// makes room by dropping a product still upgrading, or the newest.
TEST_F(StationBoardTest, KeepsAtMostItsPlacesDroppingTheOneThatEndedLongestAgo) {
    const std::size_t running = Plug("R0", "run");
    for (int i = 0; i < 300; ++i)
        model.Finish(Plug("S" + std::to_string(i), "p" + std::to_string(i)), Outcome::Upgraded, TransferResult{});
    const json status = Status();
    EXPECT_EQ(status["products"].size(), StationBoard::kPlacesKept);
    EXPECT_EQ(TileAt(status, "run")["id"], running);
    EXPECT_FALSE(TileAt(status, "p0").is_object()) << "the oldest went";
    EXPECT_EQ(TileAt(status, "p299")["state"], "upgraded");
    EXPECT_EQ(status["counters"]["upgraded"], 300) << "the counters keep every product";
}

// Fault caught: a pause asked for while the station starts paused it, yet the
// board, which kept its own idea of the station's state, went on saying
// "watching" (and the page offered no Resume).
TEST(StationBoardStart, APauseAskedForWhileTheStationStartsIsShownOnceItWatches) {
    std::ostringstream lines;
    StationOutput out{lines, true};
    EventFanout writer{out, nullptr, {}};
    StationModel model{StationPolicy({}), writer, {"bench-3", "Ana", {}}};
    const auto state = [&] {
        return json::parse(model.Board().StatusJson(std::chrono::system_clock::now()))["station"]["state"];
    };
    model.Package();
    model.Pause(true);
    EXPECT_EQ(state(), "starting");
    model.Watching();
    EXPECT_EQ(state(), "paused");
    model.Stop(StopReason::Interrupted);
    EXPECT_EQ(state(), "stopping");
    writer.Close();
}

// With a release expected. Faults caught: a product verifying shown upgraded
// (or counted) before it came back; its tile left to itself come back
// (returned) instead of its verification's end; the release it came back
// with not shown where it is not the one expected.
TEST(StationBoardVerifying, ShowsAProductVerifyingThenHowItCameBack) {
    std::ostringstream lines;
    StationOutput out{lines, true};
    EventFanout writer{out, nullptr, {}};
    StationLimits limits;
    limits.expectRelease = 0x0241;
    StationModel model{StationPolicy(limits), writer, {"bench-3", "Ana", {}}};
    model.Package();
    model.Watching();
    const auto status = [&] { return json::parse(model.Board().StatusJson(std::chrono::system_clock::now())); };
    const auto tileAt = [](const json& shown, const std::string& place) {
        for (const json& tile : shown["products"])
            if (tile["place"] == place)
                return tile;
        return json();
    };
    for (int i = 0; i < 2; ++i) {
        const std::string place = "1-1." + std::to_string(i + 1);
        const DeviceIdentity identity{"A" + std::to_string(i), place, 0x0100};
        const std::size_t id = model.Arrive("/dev/hidraw" + std::to_string(i), place, identity, {}).first;
        model.Begin(id);
        model.Finish(id, Outcome::Upgraded, TransferResult{});
    }
    EXPECT_EQ(tileAt(status(), "1-1.1")["state"], "verifying");
    EXPECT_EQ(status()["counters"]["upgraded"], 0);
    EXPECT_EQ(status()["counters"]["verifying"], 2);
    model.Arrive("/dev/hidraw2", "1-1.1", {"A0", "1-1.1", 0x0241}, {});
    model.Arrive("/dev/hidraw3", "1-1.2", {"A1", "1-1.2", 0x0100}, {});
    const json shown = status();
    EXPECT_EQ(tileAt(shown, "1-1.1")["state"], "verified");
    EXPECT_EQ(tileAt(shown, "1-1.1")["releaseAfter"], "2.41");
    EXPECT_EQ(tileAt(shown, "1-1.2")["state"], "notVerified");
    EXPECT_EQ(tileAt(shown, "1-1.2")["releaseAfter"], "1.00");
    EXPECT_EQ(tileAt(shown, "1-1.2")["verified"], false);
    EXPECT_EQ(shown["counters"]["upgraded"], 1);
    EXPECT_EQ(shown["counters"]["failed"], 1);
    EXPECT_EQ(shown["counters"]["returned"], 2);
    // Fault caught: a record that could not be written hidden behind a
    // product's higher exit code (10, back with another release).
    EXPECT_EQ(model.Summary(Outcome::OutputFailed), Outcome::OutputFailed);
    writer.Close();
}

// Fault caught: an upgrade's time taken from the wall clock, so that a step
// of it (a time server's correction) while it runs makes it an hour long.
TEST(StationBoardClock, AnUpgradesTimeIsTheSteadyClocks) {
    StationBoard board{RecordHeader{}};
    StationEvent started;
    started.kind = StationEvent::Kind::Started;
    started.product.id = 1;
    started.product.path = "/dev/hidraw1";
    started.product.began = std::chrono::steady_clock::now();
    started.product.startedAt = std::chrono::system_clock::now() - std::chrono::hours(1);  // the clock stepped since
    started.product.attempt = 1;
    board.Take(started);
    const json status = json::parse(board.StatusJson(std::chrono::system_clock::now()));
    EXPECT_LT(status["products"][0]["seconds"].get<double>(), 60.0) << status["products"][0];
}

}  // namespace
