// The station's record fed to a real PostgreSQL database through ODBC, with
// the simulated products: its lines, its heartbeat, the claims of two
// stations and the history read back. Linux, and the Windows build under
// Wine (the database reached through Wine's odbc32).

#include "platform/sha256.h"
#include "station/factory/factory_schema.h"
#include "station/factory/station_heartbeat.h"
#include "qefftool/records_command.h"
#include "station/record_feed_fixture.h"

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using Kind = StationEvent::Kind;

// Faults caught: a line missing, changed or out of its order in the
// database; a serial number with quotes, markup or bytes that are not UTF-8
// stored otherwise than the file holds it; the start and stop lines left out.
TEST_F(RecordFeedTest, EveryLineGoesToTheDatabaseAsTheFileHoldsIt) {
    ASSERT_TRUE(Start());
    Upgrade({"00A1", "\"<b>&amp;</b>'; DROP TABLE qeff_record;--", "bad \xFF\xFE utf-8"});
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    const std::vector<RecordRow> rows = FileRows();
    ASSERT_EQ(rows.size(), 5u) << "start, three products, stop";
    EXPECT_EQ(rows[2].serial, "\"<b>&amp;</b>'; DROP TABLE qeff_record;--");
    EXPECT_EQ(rows[3].serial, "bad \xEF\xBF\xBD\xEF\xBF\xBD utf-8") << "as the record's JSON spells it";
    ExpectEveryLineOnce();
    const auto summary = events.Of(Kind::Summary);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].recordDbWaiting, 0u) << "every product's line stored before the summary";
}

// Faults caught: no heartbeat row, so the line's page cannot tell the
// station; a beat added beside the last one instead of in its place; a pause
// or a resume not told; the end not told, so a stopped station looks silent.
TEST_F(RecordFeedTest, TheHeartbeatTellsTheStationsStateUntilItStops) {
    const auto beatIs = [&](const std::string& state) {
        return Within(10s, [&] {
            DbResult<std::vector<StationHeartbeat>> beats = ReadHeartbeats(*db);
            return beats && beats->size() == 1 && (*beats)[0].state == state;
        });
    };
    startPaused = true;
    ASSERT_TRUE(Start());
    EXPECT_TRUE(beatIs("paused"));
    station->Resume();
    EXPECT_TRUE(beatIs("watching"));
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    EXPECT_TRUE(beatIs("stopped"));
    const StationHeartbeat beat = ReadHeartbeats(*db)->at(0);
    EXPECT_EQ(beat.station, "line-3");
    EXPECT_EQ(beat.run, FileRows().at(0).run) << "the record's run";
    EXPECT_EQ(beat.packageSha256, events.Of(Kind::Package).at(0).package.sha256);
    EXPECT_EQ(nlohmann::json::parse(beat.status)["station"]["state"], "stopped") << "the station's status as it ended";
}

// Faults caught: --record-db taken without the record it is fed from.
TEST_F(RecordFeedTest, WithoutARecordItIsRefused) {
    options.record.reset();
    EXPECT_FALSE(Start());
    EXPECT_EQ(station->Finish(), Outcome::Usage);
    const auto messages = written.Of(Kind::Message);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().text,
              "The factory database is fed from the station's own record: give --record FILE with --record-db.");
}

// Faults caught: two stations upgrading one product at once (no claim, or a
// claim not asked for before the upgrade); the station that lost the claim
// not telling which station holds it (or, once that one's record is in, did
// it), or counting it a failure.
TEST_F(FactoryClaimsTest, OfTwoStationsTakingOneProductAtOnceOneUpgradesIt) {
    AnswerAfter(200ms);  // upgrades that overlap, each a second long
    other.AnswerAfter(200ms);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(other.Start());
    const std::vector<std::string> serials = {"00F1", "00F2", "00F3"};
    for (const std::string& serial : serials) {
        hid.Attach(Product(serial, "usb-" + serial));
        other.hid.Attach(other.Product(serial, "usb-" + serial));
    }
    const auto settled = [&](const std::string& serial) {
        return Told(events, Kind::Done, serial) + Told(events, Kind::Claimed, serial) +
                   Told(events, Kind::Recorded, serial) ==
               1 &&
               Told(other.events, Kind::Done, serial) + Told(other.events, Kind::Claimed, serial) +
                   Told(other.events, Kind::Recorded, serial) ==
               1;
    };
    ASSERT_TRUE(Within(20s, [&] { return std::all_of(serials.begin(), serials.end(), settled); }));
    for (const std::string& serial : serials) {
        EXPECT_EQ(Told(events, Kind::Done, serial) + Told(other.events, Kind::Done, serial), 1u) << serial;
        const auto toldBy = [&](RecordedEvents& of, const std::string& holder) {
            return Told(of, Kind::Claimed, serial, holder) + Told(of, Kind::Recorded, serial, holder);
        };
        EXPECT_EQ(toldBy(events, "line-4") + toldBy(other.events, "line-3"), 1u)
            << serial << ": the other tells the station that holds it";
    }
    station->Interrupt();
    other.station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted) << "a product claimed elsewhere is no failure";
    ASSERT_EQ(other.station->Finish(), Outcome::Interrupted);
}

// Faults caught: a product upgraded at another station (its record in the
// database) upgraded again; the station that did it not named.
TEST_F(FactoryClaimsTest, AProductAnotherStationRecordedIsNotUpgradedAgain) {
    ASSERT_TRUE(Start());
    Upgrade({"00E1"});
    ASSERT_TRUE(WaitAllStored());
    ASSERT_TRUE(other.Start());
    other.hid.Attach(other.Product("00E1", "usb-9"));
    ASSERT_TRUE(other.events.WaitFor(Kind::Recorded));
    EXPECT_EQ(Told(other.events, Kind::Recorded, "00E1", "line-3"), 1u);
    EXPECT_TRUE(other.events.Of(Kind::Started).empty());
}

// Faults caught: a product another station holds (its claim row stands)
// upgraded here anyway, or told without the station that holds it; of a
// fixture's products asked for together, an answer taken for another's.
TEST_F(FactoryClaimsTest, AProductAnotherStationHoldsIsToldClaimedAndNotUpgraded) {
    ASSERT_FALSE(EnsureFactorySchema(*db));
    const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const std::string sha256 = Sha256Hex(*Sha256(BuildPackage(package)));
    ASSERT_TRUE(ClaimProduct(*db, {sha256, "00K1", "line-7", now, now + 300s}));
    for (const char* serial : {"00K2", "00K1", "00K3"})  // a fixture's, there when the station starts
        hid.Attach(Product(serial, std::string("usb-") + serial));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(events.WaitFor(Kind::Done, 2));
    ASSERT_TRUE(events.WaitFor(Kind::Claimed));  // each product is told as its own answer comes
    EXPECT_EQ(Told(events, Kind::Claimed, "00K1", "line-7"), 1u);
    EXPECT_EQ(Told(events, Kind::Done, "00K2") + Told(events, Kind::Done, "00K3"), 2u) << "the others upgraded";
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted) << "a product claimed elsewhere is no failure";
    EXPECT_EQ(Told(events, Kind::Started, "00K1"), 0u) << "not upgraded here";
}

// Faults caught: a failed upgrade keeping its claim (the product can be
// tried nowhere until it expires); an upgraded one letting it go; a claim of
// a station that died never taken over; --claim-expires not the claim's term.
TEST_F(FactoryClaimsTest, FailuresLetGoAndADeadStationsClaimExpires) {
    options.claimExpires = 77s;
    ASSERT_TRUE(Start());
    ASSERT_FALSE(EnsureFactorySchema(*db));
    const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const std::string sha256 = events.Of(Kind::Package).at(0).package.sha256;
    ASSERT_TRUE(ClaimProduct(*db, {sha256, "00G3", "dead", now - 60s, now + 1500ms}));
    Upgrade({"00G1"});
    plugged.push_back(hid.Attach(Product("00G2", "usb-00G2", {BlockAnswer::Code(6)})));
    ASSERT_TRUE(events.WaitFor(Kind::Done, 2));
    EXPECT_EQ(ClaimsOf("00G1"), 1) << "kept: it was upgraded";
    EXPECT_TRUE(Within(3s, [&] { return ClaimsOf("00G2") == 0; })) << "let go: it may be tried again";
    DbResult<OdbcStatement> term = db->Prepare("SELECT claimed_at, expires_at FROM qeff_claim WHERE serial = '00G1'");
    ASSERT_TRUE(term && !term->Execute() && *term->Fetch());
    EXPECT_EQ(**term->Time(2) - **term->Time(1), 77s);

    const std::size_t dead = hid.Attach(Product("00G3", "usb-00G3"));
    ASSERT_TRUE(events.WaitFor(Kind::Claimed));
    EXPECT_EQ(Told(events, Kind::Claimed, "00G3", "dead"), 1u);
    hid.Detach(dead);
    std::this_thread::sleep_for(1600ms);  // the dead station's claim expires
    Upgrade({"00G3"});
    EXPECT_EQ(events.Of(Kind::Done).back().product.outcome, Outcome::Upgraded);
}

// Faults caught: records --db missing a station's products or another
// unit's showing; --since, --serial or --station not applied; --json not the
// line the station recorded; start and stop lines shown as products.
TEST_F(FactoryClaimsTest, RecordsTellAUnitsAndAStationsHistory) {
    ASSERT_TRUE(Start());
    Upgrade({"00J1", "00J2"});
    ASSERT_TRUE(other.Start());
    other.hid.Attach(other.Product("00J3", "usb-00J3"));
    ASSERT_TRUE(other.events.WaitFor(Kind::Done));
    other.station->Interrupt();
    ASSERT_TRUE(other.station->Finish());
    ASSERT_TRUE(Within(10s, [&] { return RowsInAll() == 6; })) << "start and two products; start, a product, stop";
    struct Row {
        HistoryFilter filter;
        std::vector<std::string> serials;  // in the order told
    };
    const std::vector<Row> table = {
        {{}, {"00J1", "00J2", "00J3"}},
        {{"00J2", std::nullopt, std::nullopt}, {"00J2"}},
        {{std::nullopt, "line-4", std::nullopt}, {"00J3"}},
        {{std::nullopt, std::nullopt, ParseSince("2999-01-01")}, {}},
    };
    for (const Row& row : table) {
        for (const bool json : {false, true}) {
            std::ostringstream out, errors;
            ASSERT_EQ(RunRecords(connectionString, row.filter, json, out, errors), 0) << errors.str();
            std::vector<std::string> serials;
            std::istringstream lines(out.str());
            for (std::string line; std::getline(lines, line);) {
                if (json) {
                    const nlohmann::json parsed = nlohmann::json::parse(line);
                    EXPECT_EQ(parsed["record"], "product") << line;
                    serials.push_back(parsed["serial"]);
                } else {
                    std::smatch serial;
                    ASSERT_TRUE(std::regex_search(line, serial, std::regex("  \"([^\"]*)\"  upgraded  "))) << line;
                    serials.push_back(serial[1]);
                }
            }
            EXPECT_EQ(serials, row.serials) << out.str();
        }
    }
}

}  // namespace

// Faults caught: a run not begun at a start line, or not named by its time;
// lines not numbered from 1 in their run; a torn line dropped or taking the
// run's package and time from nowhere; a stop line given a serial number.
TEST(RecordRowsOfFile, EachStartLineBeginsARunNumberedFromOne) {
    const std::string sha(64, 'b');
    const std::string start = R"({"record":"start","station":"s2","time":"2026-12-10T07:00:00.250Z","sha256":")" + sha + "\"}";
    const std::string product =
        R"({"record":"product","station":"s2","time":"2026-12-10T07:00:05.000Z","serial":"7","outcome":"upgraded","sha256":")" + sha + "\"}";
    const std::string stop = R"({"record":"stop","station":"s2","time":"2026-12-10T07:01:00.000Z","sha256":")" + sha + "\"}";
    const std::string torn = R"({"record":"prod)";
    const std::string again = R"({"record":"start","station":"s3","time":"2026-12-10T08:00:00.000Z","sha256":"c"})";
    using std::chrono::sys_days;
    const DbTime at = DbTime{sys_days{std::chrono::year(2026) / 12 / 10}} + 7h;
    struct Row {
        std::string line;
        std::string station, run;
        std::int64_t number;
        DbTime time;
        std::optional<std::string> serial, outcome;
        std::string sha256;
    };
    const std::vector<Row> table = {
        {R"({"record":"product","time":"bad"})", "s1", "-", 1, DbTime{}, std::nullopt, std::nullopt, ""},
        {start, "s2", "2026-12-10T07:00:00.250Z", 1, at + 250ms, std::nullopt, std::nullopt, sha},
        {product, "s2", "2026-12-10T07:00:00.250Z", 2, at + 5s, "7", "upgraded", sha},
        {torn, "s2", "2026-12-10T07:00:00.250Z", 3, at + 5s, std::nullopt, std::nullopt, sha},
        {stop, "s2", "2026-12-10T07:00:00.250Z", 4, at + 60s, std::nullopt, std::nullopt, sha},
        {again, "s3", "2026-12-10T08:00:00.000Z", 1, at + 1h, std::nullopt, std::nullopt, "c"},
    };
    RecordRowsOfFile rows("s1");
    for (const Row& want : table) {
        const RecordRow got = rows.Next(want.line);
        EXPECT_EQ(got, (RecordRow{want.station, want.run, want.number, want.time, want.serial, want.sha256,
                                  want.outcome, want.line}))
            << want.line;
    }
}
