// The line's page in a real browser (Debian's Chromium, headless, over the
// DevTools protocol) against a real PostgreSQL, its stations made by writing
// their rows directly, as stations write them; the database reached through
// a relay the tests stall and take down.

#include "station/factory/factory_schema.h"
#include "station/factory/record_rows.h"
#include "station/factory/station_heartbeat.h"
#include "station/line/line_page.h"
#include "station/line/line_poller.h"
#include "support/devtools_client.h"
#include "support/factory_database.h"
#include "support/tcp_relay.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Mode = TcpRelay::Mode;

constexpr const char* kMarkupStation = "<img src=x onerror=window.pwned=1>";
constexpr const char* kMarkupSerial = "<img src=x onerror=window.pwned=2>";

class LinePage : public FactoryDatabaseTest, protected SuiteBrowser {
protected:
    using SuiteBrowser::SetUpTestSuite;
    using SuiteBrowser::TearDownTestSuite;

    void SetUp() override {
        if (!devtools)
            GTEST_SKIP() << "the package chromium is not installed (apt-get install chromium): the page is not tried";
        FactoryDatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_FALSE(EnsureFactorySchema(*db));
        std::smatch port;
        ASSERT_TRUE(std::regex_search(connectionString, port, std::regex("Port=(\\d+);")));
        relay = std::make_unique<TcpRelay>(std::stoi(port[1]), Mode::Passing);
        WriteStations();
        LineOptions options;
        options.db = std::regex_replace(connectionString, std::regex("Port=\\d+;"),
                                        "Port=" + std::to_string(relay->Port()) + ";");
        options.web.address = "127.0.0.1";
        line = std::make_unique<LineServer>(options);
        tab = devtools->OpenTab(line->Url(), 1280, 1000);
        ASSERT_TRUE(Shows("#station-list", "bench-1")) << Text("body");
    }
    void TearDown() override {
        if (relay)
            relay->Set(Mode::Passing);  // what the line holds on to is let go before it ends
        if (!tab.empty())
            devtools->CloseTab(tab);
        line.reset();
    }

    // Three stations: one watching, one stopped long ago, one silent (its last
    // heartbeat minutes old, still "watching"); a unit that went through two.
    void WriteStations() {
        const DbTime now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
        const auto beat = [&](const char* station, const char* state, DbTime seen, const char* page) {
            StationHeartbeat heartbeat{station, state, "run-1", "/srv/packages/widget-2.4.qeff", std::string(64, 'a'),
                                       "FW-2.4", page, "{}", seen};
            ASSERT_FALSE(WriteHeartbeat(*db, heartbeat));
        };
        beat("bench-1", "watching", now, "http://10.0.0.5:8080/");
        beat("bench-2", "stopped", now - 10min, "");
        beat(kMarkupStation, "watching", now - 5min, "javascript:window.pwned=3");

        DbResult<RecordRowWriter> writer = RecordRowWriter::Prepare(*db);
        ASSERT_TRUE(writer) << writer.Error().Text();
        std::int64_t number = 0;
        const auto record = [&](const char* station, const char* serial, const char* outcome, DbTime at,
                                const std::string& message = "") {
            const std::string sha = std::string(station) == "bench-2" ? std::string(64, 'b') : std::string(64, 'a');
            const RecordRow row{station, "run-1", ++number, at, serial, sha, outcome,
                                json{{"serial", serial}, {"outcome", outcome}, {"message", message}}.dump()};
            ASSERT_TRUE(writer->Store(row)) << "row " << number;
        };
        record("bench-2", "00A1", "refused", now - 2s, "The product refused the firmware (code 6).");
        record("bench-1", "00A1", "upgraded", now);
        record("bench-1", "00A2", "verified", now);
        record("bench-1", kMarkupSerial, "refused", now, "<b>code 6</b>");
        record("bench-1", "00A4", "interrupted", now);  // no failure: the station stopped under it
        record("bench-1", "00A5", "lost", now - 48h);   // yesterday's: among the failures, not in today's counts
    }

    static std::string Seen(const std::string& selector) {
        return "((e) => e && e.checkVisibility() ? e.innerText : '')(document.querySelector(" + json(selector).dump() +
               "))";
    }
    std::string Text(const std::string& selector) { return devtools->Evaluate(tab, Seen(selector)).get<std::string>(); }
    bool Shows(const std::string& selector, const std::string& text, std::chrono::milliseconds within = 10s) {
        return devtools->WaitUntil(tab, Seen(selector) + ".includes(" + json(text).dump() + ")", within);
    }
    json Evaluate(const std::string& expression) { return devtools->Evaluate(tab, expression); }
    // What a station's card shows, field by field.
    json Card(const std::string& station) {
        return Evaluate(R"(((name) => { const c = Array.from(document.querySelectorAll('#station-list > li'))
            .find((li) => li.querySelector('.name').innerText === name);
          if (!c) return null;
          const text = (s) => c.querySelector(s).innerText;
          const a = c.querySelector('.page a');
          return {state: text('.state'), package: text('.package'), firmware: text('.firmware'),
            upgraded: text('.upgraded'), failed: text('.failed'), yield: text('.yield'), page: text('.page'),
            href: a ? a.getAttribute('href') : null,
            failures: Array.from(c.querySelectorAll('.failures tbody tr')).map((r) =>
              Array.from(r.cells).slice(1).map((td) => td.innerText))}; })()" +
                        std::string("(") + json(station).dump() + "))");
    }

    std::unique_ptr<TcpRelay> relay;
    std::unique_ptr<LineServer> line;
    DevToolsClient::Session tab;
};

// Faults caught: a station's state, package, counters, yield, failures or
// link not shown as its rows tell; an old heartbeat not called silent, or a
// stopped station called silent; an interrupted or yesterday's line counted
// today; a name, serial number, message or page address taken as HTML or as
// a link that runs script; a unit's history missing a station; the line
// serving a station's control (Stop).
TEST_F(LinePage, ShowsEveryStationAndAUnitsHistoryAsText) {
    ASSERT_TRUE(Shows("#station-list", "SILENT SINCE")) << Text("#station-list");
    const json watching = Card("bench-1");
    ASSERT_FALSE(watching.is_null()) << Text("#station-list");
    EXPECT_EQ(watching["state"], "WATCHING ●");
    EXPECT_EQ(watching["package"], "widget-2.4.qeff") << "the file's name, without its folders";
    EXPECT_EQ(watching["firmware"], "FW-2.4");
    EXPECT_EQ(watching["upgraded"], "2") << "upgraded and verified";
    EXPECT_EQ(watching["failed"], "1") << "neither the interrupted nor yesterday's";
    EXPECT_EQ(watching["yield"], "67 %");
    EXPECT_EQ(watching["href"], "http://10.0.0.5:8080/");
    EXPECT_EQ(watching["failures"], json::parse(R"([["<img src=x onerror=window.pwned=2>", "refused", "<b>code 6</b>"],
                                                    ["00A5", "lost", ""]])"))
        << "newest first";

    const json stopped = Card("bench-2");
    EXPECT_EQ(stopped["state"], "STOPPED ■") << "a stopped station is never silent";
    EXPECT_EQ(stopped["yield"], "0 %");

    const json silent = Card(kMarkupStation);
    ASSERT_FALSE(silent.is_null()) << "the station's name shown as its text";
    EXPECT_TRUE(silent["state"].get<std::string>().starts_with("SILENT SINCE ")) << silent;
    EXPECT_TRUE(silent["href"].is_null()) << "no link but to a web address";
    EXPECT_EQ(silent["page"], "Its page: javascript:window.pwned=3");
    EXPECT_EQ(silent["upgraded"], "0");
    EXPECT_EQ(silent["yield"], "—") << "no yield without products";

    Evaluate("document.querySelector('#serial').value = '00A1'");
    devtools->Click(tab, "#search-button");
    ASSERT_TRUE(devtools->WaitUntil(tab, "document.querySelectorAll('#history-rows tr').length === 2"))
        << Text("#search");
    const json history = Evaluate(R"(Array.from(document.querySelectorAll('#history-rows tr')).map((r) =>
        [r.cells[1].innerText, r.cells[2].innerText, r.cells[3].innerText, r.cells[4].innerText]))");
    EXPECT_EQ(history, json::parse(R"([["bench-2", "refused", "bbbbbbbbbbbb", "The product refused the firmware (code 6)."],
                                       ["bench-1", "upgraded", "aaaaaaaaaaaa", ""]])"))
        << "oldest first, across both stations";

    EXPECT_EQ(Evaluate("document.querySelectorAll('main img, main b').length"), 0) << "no markup from the data";
    EXPECT_TRUE(Evaluate("window.pwned === undefined").get<bool>());
    EXPECT_EQ(Evaluate(R"(fetch('/api/stop', {method: 'POST', headers: {'X-Quorvella-Control': '1'}})
        .then((r) => r.status))"),
              404)
        << "the line has no controls";
}

// Faults caught: the page waiting for a database that does not answer (a
// search held past its bound, the stations' state not answered at once);
// a database that cannot be reached not said, or the last state read
// forgotten.
TEST_F(LinePage, ADatabaseThatFailsHoldsNothingAndIsSaid) {
    relay->Set(Mode::Stalled);
    Evaluate("document.querySelector('#serial').value = '00A1'");
    devtools->Click(tab, "#search-button");
    ASSERT_TRUE(Shows("#search-state", "The factory database did not answer in time: try again.", 10s))
        << Text("#search-state");
    const json stations = Evaluate(R"(fetch('/api/line').then((r) => r.json()).then((l) => l.stations.length))");
    EXPECT_EQ(stations, 3) << "the last state read, answered while the database is stalled";

    relay->Set(Mode::Down);
    ASSERT_TRUE(Shows("#db-down", "The factory database cannot be reached since ")) << Text("body");
    EXPECT_EQ(Card("bench-1")["upgraded"], "2") << "the last state read is still shown";

    // Fault caught: the line's end (Ctrl-C) held by a read stuck in a stalled database.
    relay->Set(Mode::Passing);
    const auto upAgain = std::chrono::steady_clock::now() + 10s;
    while (!Text("#db-down").empty() && std::chrono::steady_clock::now() < upAgain)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(Text("#db-down"), "") << "read again";
    relay->Set(Mode::Stalled);
    std::this_thread::sleep_for(LinePoller::kEvery + 500ms);  // the next read is under way, and stuck
    const auto ending = std::chrono::steady_clock::now();
    devtools->CloseTab(tab);
    tab.clear();
    line.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - ending, 5s) << "ended, the stuck read left to its call";
}

}  // namespace
