// The station's record fed to a real PostgreSQL database, reached through a
// relay that the tests take down and stall as a network and a server do.
// Linux alone, as the relay is.

#include "station/record_feed_fixture.h"
#include "support/tcp_relay.h"

#include <memory>
#include <regex>

namespace {

using namespace std::chrono_literals;
using Kind = StationEvent::Kind;
using Mode = TcpRelay::Mode;

// A fixture's stations reach the database through a relay the test sets.
template <class Fixture>
class ThroughRelay : public Fixture {
protected:
    std::string Route(const std::string& connection) override {
        std::smatch port;
        EXPECT_TRUE(std::regex_search(connection, port, std::regex("Port=(\\d+);")));
        if (port.empty())
            return connection;
        relay = std::make_unique<TcpRelay>(std::stoi(port[1]), Mode::Passing);
        return std::regex_replace(connection, std::regex("Port=\\d+;"), "Port=" + std::to_string(relay->Port()) + ";");
    }

    std::unique_ptr<TcpRelay> relay;
};
using RelayedRecordFeedTest = ThroughRelay<RecordFeedTest>;

// Faults caught: a station that does not upgrade while the database is down
// at its start, or midway; lines lost, doubled or out of order once it is
// back; the lines waiting not told.
class RecordFeedDown : public RelayedRecordFeedTest, public testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(When, RecordFeedDown, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Midway" : "AtStart"; });

TEST_P(RecordFeedDown, LinesWaitThenAllArriveOnceInOrder) {
    const bool midway = GetParam();
    if (!midway)
        relay->Set(Mode::Down);
    ASSERT_TRUE(Start());
    if (midway) {
        Upgrade({"00B1"});
        ASSERT_TRUE(WaitAllStored());
        relay->Set(Mode::Down);
    }
    Upgrade({"00B2", "00B3"});
    EXPECT_TRUE(WaitForState("unreachable", 2)) << "the lines waiting told";
    relay->Set(Mode::Passing);
    EXPECT_TRUE(events.WaitUntil([&](const RecordedEvents::Events& all) {
        return !all.empty() && all.back().kind == Kind::RecordDb && all.back().text == "connected" &&
               all.back().recordDbWaiting == 0u;
    })) << "told when every line is stored";
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    ExpectEveryLineOnce();
}

// Faults caught: a stalled database holding a transfer, an arrival or the
// station's stop; the summary not telling the lines left waiting; those
// lines lost once it answers again.
TEST_F(RelayedRecordFeedTest, AStalledDatabaseHoldsNoUpgradeNorTheStop) {
    ASSERT_TRUE(Start());
    Upgrade({"00C1"});
    ASSERT_TRUE(WaitAllStored());
    relay->Set(Mode::Stalled);
    Upgrade({"00C2", "00C3", "00C4"});  // each within Upgrade's 10 s, while the database takes nothing
    EXPECT_LE(RowsInAll(), 3) << "the start, the first product and the line on its way when it stalled";
    station->Interrupt();
    ASSERT_EQ(station->Finish(20s), Outcome::Interrupted) << "the station ends while the database is stalled";
    const auto summary = events.Of(Kind::Summary);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].recordDbWaiting, 3u) << "the three products' lines wait";
    relay->Set(Mode::Passing);
    StartAgain();
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    ExpectEveryLineOnce();
}

// Faults caught: a station started again on its record sending the lines of
// its last run again (doubled under a new run's name) or not at all (lost
// when it was killed before they went); the runs' lines mixed up.
TEST_F(RelayedRecordFeedTest, AStationStartedAgainSendsWhatWaitedAndNothingTwice) {
    ASSERT_TRUE(Start());
    Upgrade({"00D1"});
    ASSERT_TRUE(WaitAllStored());
    relay->Set(Mode::Down);  // as if killed now: its next lines never reach the database
    Upgrade({"00D2"});
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    EXPECT_LT(RowsInAll(), static_cast<std::int64_t>(FileRows().size())) << "lines were left waiting";

    relay->Set(Mode::Passing);
    StartAgain();
    Upgrade({"00D3"});
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);
    const std::vector<RecordRow> rows = FileRows();
    ASSERT_EQ(rows.size(), 7u) << "two runs: start, products, stop";
    EXPECT_NE(rows[0].run, rows.back().run);
    ExpectEveryLineOnce();
}

// Faults caught: a station that cannot ask the database (down, or stalled:
// an arrival held past the bound) holding or failing its products
// (own-record) or not saying so, or saying it for every product; with
// --db-unreachable stop, one that upgrades anyway.
class UnreachableClaims : public ThroughRelay<FactoryClaimsTest>, public testing::WithParamInterface<Mode> {};
INSTANTIATE_TEST_SUITE_P(When, UnreachableClaims, testing::Values(Mode::Down, Mode::Stalled),
                         [](const auto& info) { return info.param == Mode::Down ? "Down" : "Stalled"; });

TEST_P(UnreachableClaims, AnUnreachableDatabaseIsToldOnceOrStopsTheStation) {
    options.dbAnswerWithin = other.options.dbAnswerWithin = 1s;
    relay->Set(GetParam());
    ASSERT_TRUE(Start());
    Upgrade({"00H1", "00H2"});
    std::size_t warnings = 0;
    for (const StationEvent& e : events.Of(Kind::Message))
        warnings += e.text.find("goes by its own record alone") != std::string::npos;
    EXPECT_EQ(warnings, 1u);
    station->Interrupt();
    ASSERT_EQ(station->Finish(), Outcome::Interrupted);

    other.options.stopWhenDbUnreachable = true;
    ASSERT_TRUE(other.Start());
    other.hid.Attach(other.Product("00H3", "usb-00H3"));
    EXPECT_EQ(other.station->Finish(), Outcome::Failed) << "a station stopped for want of its database, no success";
    EXPECT_EQ(other.events.Of(Kind::NotTaken).size(), 1u);
    EXPECT_TRUE(other.events.Of(Kind::Started).empty()) << "not upgraded without the database";
}

}  // namespace
