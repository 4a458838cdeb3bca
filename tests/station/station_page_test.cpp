// The station's page in a real browser: Debian's Chromium, headless, driven
// over the DevTools protocol with real mouse events, against a real station
// over the simulated product, running on a thread of the test.

#include "support/devtools_client.h"
#include "support/simulated_station.h"
#include "station/station_board.h"
#include "station/web/station_web.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Kind = StationEvent::Kind;

// One browser for every test; each test a station of its own and a tab on it.
class StationPage : public ::testing::Test, protected SimulatedStation, protected SuiteBrowser {
protected:
    using SuiteBrowser::SetUpTestSuite;
    using SuiteBrowser::TearDownTestSuite;

    DevToolsClient::Session tab;

    void SetUp() override {
        if (!devtools)
            GTEST_SKIP() << "the package chromium is not installed (apt-get install chromium): the page is not tried";
        devtools->dialogs.clear();
        devtools->answerDialogs = true;
        package.productName = "<img src=x onerror=alert(1)>";
        options.station = "bench-3";
        options.operatorName = "Ana";
        options.http = "127.0.0.1:0";  // any free port
    }
    void TearDown() override {
        station.reset();
        if (!tab.empty())
            devtools->CloseTab(tab);
    }
    // Starts the station, its products answering each block after `answerAfter`,
    // and opens its page once it serves it.
    void Open(std::chrono::milliseconds answerAfter = 0ms) {
        AnswerAfter(answerAfter);
        ASSERT_TRUE(Start());  // it serves before it watches
        tab = devtools->OpenTab(events.Of(Kind::Serving).at(0).text, 1280, 1000);
        ASSERT_TRUE(Shows("#station-state", "WATCHING")) << Text("body");
    }

    // What a person sees of an element: its rendered text, none when it is not shown.
    static std::string Seen(const std::string& selector) {
        return "((e) => e && e.checkVisibility() ? e.innerText : '')(document.querySelector(" + json(selector).dump() +
               "))";
    }
    std::string Text(const std::string& selector) { return devtools->Evaluate(tab, Seen(selector)).get<std::string>(); }
    std::string Tile(const std::string& place) { return Text("#tiles [data-place=" + json(place).dump() + "]"); }
    // Waits until the element shows `text` among what it shows.
    bool Shows(const std::string& selector, const std::string& text, std::chrono::milliseconds within = 10s) {
        return devtools->WaitUntil(tab, Seen(selector) + ".includes(" + json(text).dump() + ")", within);
    }
    bool TileShows(const std::string& place, const std::string& text) {
        return Shows("#tiles [data-place=" + json(place).dump() + "]", text);
    }
    json Evaluate(const std::string& expression) { return devtools->Evaluate(tab, expression); }
};

// Faults caught: a tile that does not follow its product (no progress while
// it upgrades, no percent, no accessible bar, a refusal without the product's
// message, a time-out, a product pulled out midway or a return not shown,
// the time an upgrade took missing), tiles out of place order,
// counters or records not drawn or oldest first, and a product's or a
// package's text taken as HTML (a serial number <b>x</b> made bold, a product
// name <img onerror> run).
TEST_F(StationPage, ShowsProductsArriveProgressFailAndReturnAsText) {
    package.firmware = CountingPayload(40 * 1024);  // 40 answers of 50 ms: two seconds to watch
    options.limits.maxParallel = 2;
    file.Write();
    options.trust = SignedWithOpenssl(file.path, "/CN=<img src=x onerror=alert(2)>");
    Open(50ms);
    devtools->Call("Emulation.setDeviceMetricsOverride",
                   {{"width", 1280}, {"height", 1280}, {"deviceScaleFactor", 1}, {"mobile", false}}, tab);
    const std::size_t good = hid.Attach(Product("00A1", "1-1.1"));
    hid.Attach(Product("<b>x</b>", "1-1.2", {BlockAnswer::Code(1), BlockAnswer::Code(6)}));
    hid.Attach(Product("00A3", "1-1.3", {BlockAnswer::Code(1), BlockAnswer::Of(BlockAnswer::Kind::Silence)}));
    SimulatedInterface locked = Product("00A4", "1-1.4");
    locked.accessDenied = true;
    locked.advertisesIds = true;
    const std::string lockedAt = "sim:" + std::to_string(hid.Attach(locked));  // its place: no location known

    ASSERT_TRUE(devtools->WaitUntil(tab, R"(/UPGRADING [1-9]\d? %/.test(
        document.querySelector('#tiles [data-place="1-1.1"] .state')?.innerText))"))
        << Tile("1-1.1");
    const json bar = Evaluate(R"((() => { const t = document.querySelector('#tiles [data-place="1-1.1"]');
        const p = t.querySelector('progress'); return {shown: p.checkVisibility(), value: p.value,
        label: p.getAttribute('aria-label'), state: t.querySelector('.state').innerText}; })())");
    EXPECT_TRUE(bar["shown"].get<bool>()) << bar;
    EXPECT_EQ("UPGRADING " + std::to_string(bar["value"].get<int>()) + " %", bar["state"]) << "the bar tells the percent";
    EXPECT_NE(bar["label"].get<std::string>().find("00A1"), std::string::npos) << bar;
    ASSERT_TRUE(TileShows("1-1.2", "REFUSED ✗")) << Tile("1-1.2");
    ASSERT_TRUE(TileShows("1-1.3", "TIME-OUT")) << Tile("1-1.3");
    ASSERT_TRUE(TileShows(lockedAt, "DENIED")) << Tile(lockedAt);
    ASSERT_TRUE(TileShows("1-1.1", "UPGRADED ✓")) << Tile("1-1.1");
    const std::size_t leaving = hid.Attach(Product("00A5", "1-1.5"));
    ASSERT_TRUE(TileShows("1-1.5", "UPGRADING")) << Tile("1-1.5");
    if (const char* shot = std::getenv("QEFF_STATION_PAGE_SCREENSHOT")) {  // docs/station-page.png
        devtools->WaitUntil(tab, R"(/UPGRADING [2-9]\d %/.test(
            document.querySelector('#tiles [data-place="1-1.5"] .state')?.innerText))");
        const auto png = devtools->Screenshot(tab);
        std::ofstream(shot, std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                                    static_cast<std::streamsize>(png.size()));
    }
    hid.Detach(leaving);  // pulled out midway
    ASSERT_TRUE(TileShows("1-1.5", "TIME-OUT")) << Tile("1-1.5");
    hid.Detach(good);
    hid.Attach(Product("00A1", "1-1.1"));  // restarted into its new firmware
    ASSERT_TRUE(TileShows("1-1.1", "RETURNED")) << Tile("1-1.1");

    const json status = Evaluate("fetch('/api/status').then(r => r.json())");
    const json tiles = Evaluate(R"(Array.from(document.querySelectorAll('#tiles > li')).map(t => ({
        place: t.querySelector('.place').innerText, serial: t.querySelector('.serial').innerText,
        message: t.querySelector('.message').innerText})))");
    ASSERT_EQ(tiles.size(), 5u) << tiles;
    for (const std::size_t i : {0, 1, 2})
        EXPECT_EQ(tiles[i]["place"], "1-1." + std::to_string(i + 1)) << "in place order";
    EXPECT_EQ(tiles[3]["place"], "1-1.5");
    EXPECT_EQ(tiles[4]["place"], lockedAt);
    EXPECT_EQ(tiles[1]["serial"], "Serial <b>x</b>") << "the serial number's characters";
    const json& refused = status["products"][1];
    ASSERT_EQ(refused["state"], "refused");
    EXPECT_FALSE(refused["message"].get<std::string>().empty());
    EXPECT_EQ(tiles[1]["message"], refused["message"]) << "the product's message on its tile";
    EXPECT_EQ(Evaluate("document.querySelectorAll('#tiles b, main img').length"), 0) << "no markup from the data";
    EXPECT_EQ(Text("#package-product"), "<img src=x onerror=alert(1)>");
    EXPECT_EQ(Text("#package-ids"), "1d50:6018");
    EXPECT_EQ(Text("#package-sha256"), events.Of(Kind::Package).at(0).package.sha256);
    EXPECT_EQ(Text("#package-signer"), "CN=\\<img src=x onerror=alert(2)\\>") << "the verified signer, as text";
    EXPECT_TRUE(devtools->dialogs.empty()) << "nothing of the data ran: " << devtools->dialogs[0];

    EXPECT_EQ(Text("#count-upgraded"), "1");
    EXPECT_EQ(Text("#count-failed"), "3");
    EXPECT_EQ(Text("#count-yield"), "25 %");
    const json rows = Evaluate(
        "Array.from(document.querySelectorAll('#record-rows tr')).map(r => Array.from(r.cells, c => c.innerText))");
    ASSERT_EQ(rows.size(), 4u) << rows;
    EXPECT_EQ(rows[0][1], "00A5") << "newest first";
    EXPECT_EQ(rows[0][3], "timed out or lost");
    EXPECT_EQ(rows[1][1], "00A1");
    EXPECT_EQ(rows[1][2], "1-1.1");
    EXPECT_EQ(rows[1][3], "upgraded");
    EXPECT_TRUE(std::regex_match(rows[1][4].get<std::string>(), std::regex(R"(\d+\.\d)"))) << rows[1];
    EXPECT_EQ(rows[3][1], "<b>x</b>") << "first ended, shown last";
    EXPECT_EQ(rows[3][3], "refused the firmware");
}

// With a release expected. Faults caught: a product verifying shown as
// upgraded; VERIFIED not told apart from UPGRADED; NOT VERIFIED without the
// release it came back with; one never back not shown.
TEST_F(StationPage, ShowsProductsVerifyingAndHowTheyCameBack) {
    options.limits.expectRelease = 0x0241;
    options.limits.verifyWithin = 5s;
    Open();
    const auto attach = [&](const char* serial, const char* place, std::uint16_t release) {
        SimulatedInterface product = Product(serial, place);
        product.identity.release = release;
        return hid.Attach(product);
    };
    const std::size_t good = attach("00V1", "1-1.1", 0x0100), old = attach("00V2", "1-1.2", 0x0100);
    attach("00V3", "1-1.3", 0x0100);
    for (const char* place : {"1-1.1", "1-1.2", "1-1.3"})
        ASSERT_TRUE(TileShows(place, "VERIFYING …")) << Tile(place);
    hid.Detach(good);
    attach("00V1", "1-1.1", 0x0241);
    hid.Detach(old);
    attach("00V2", "1-1.2", 0x0100);
    EXPECT_TRUE(TileShows("1-1.1", "VERIFIED ☑")) << Tile("1-1.1");
    EXPECT_TRUE(TileShows("1-1.2", "NOT VERIFIED ✗ · release 1.00")) << Tile("1-1.2");
    EXPECT_TRUE(TileShows("1-1.3", "NOT RETURNED ⚠")) << Tile("1-1.3");
    EXPECT_EQ(Text("#count-upgraded"), "1");
}

// Faults caught: a button that sends nothing, or is pressed when the station
// cannot do it; a product plugged while paused started anyway, or not started
// on resume; Stop without asking, or stopping though the question was
// answered No.
TEST_F(StationPage, PauseResumeAndStopArePressedAndTheStationDoesEach) {
    Open();
    EXPECT_TRUE(Evaluate("document.querySelector('#resume').disabled").get<bool>()) << "nothing to resume";
    devtools->Click(tab, "#pause");
    ASSERT_TRUE(events.WaitFor(Kind::Paused)) << "Pause sent";
    ASSERT_TRUE(Shows("#station-state", "PAUSED"));
    EXPECT_TRUE(Evaluate("document.querySelector('#pause').disabled").get<bool>());

    const std::size_t waiting = hid.Attach(Product("00P1", "1-1.1"));
    ASSERT_TRUE(TileShows("1-1.1", "QUEUED"));
    std::this_thread::sleep_for(300ms);
    // (told by its events: the product's own log is written by the thread the
    // browser's Resume starts, which nothing in this process orders after a read here)
    EXPECT_TRUE(events.Of(Kind::Started).empty()) << "none starts while paused";
    EXPECT_TRUE(TileShows("1-1.1", "QUEUED"));

    devtools->Click(tab, "#resume");
    ASSERT_TRUE(TileShows("1-1.1", "UPGRADED ✓")) << Tile("1-1.1");
    ASSERT_TRUE(events.WaitFor(Kind::Done)) << "the product's thread has ended its writes";
    EXPECT_EQ(hid.Product(waiting).Payload(), package.firmware);
    EXPECT_TRUE(Shows("#station-state", "WATCHING"));

    devtools->answerDialogs = false;
    devtools->Click(tab, "#stop");
    ASSERT_EQ(devtools->dialogs, std::vector<std::string>{"Stop the station? Running upgrades stop at their next block."});
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(events.Of(Kind::Stopping).empty()) << "answered No";
    devtools->answerDialogs = true;
    devtools->Click(tab, "#stop");
    ASSERT_TRUE(events.WaitFor(Kind::Summary)) << "Stop sent: the station ended";
    EXPECT_EQ(station->Finish(), Outcome::Interrupted);
    const auto stops = events.Of(Kind::Stopping);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_NE(stops[0].text.find("asked"), std::string::npos) << stops[0].text;
    // The station's end reaches the page before its stream closes.
    EXPECT_TRUE(Shows("body", "Station stopped (exit code 8)", 3s)) << Text("body");
}

// Faults caught: a station that stops answering (its stream open but
// nothing coming, its status unanswered) not shown within 6 s or still shown
// lost once it answers again; a stream that ends (the station gone) not
// shown at once, the buttons left to press; a station that stopped not told
// as stopped with its exit code and why, or taken for lost once it is gone;
// a station started again, which no longer takes this browser's cookie, told
// as lost (a supervisor would wait for ever) instead of asking for a new link.
TEST_F(StationPage, AStationLostOrStoppedIsShownAsSuch) {
    struct NoCommands final : StationCommands {
        CommandAnswer Pause(const std::string&) override { return {}; }
        CommandAnswer Resume(const std::string&) override { return {}; }
        CommandAnswer Stop(const std::string&) override { return {}; }
    } commands;
    PackageSummary summary;
    summary.productName = "Probe";
    const auto event = [&](StationEvent::Kind kind) {
        StationEvent e;
        e.kind = kind;
        e.time = std::chrono::system_clock::now();
        e.package = summary;
        e.state = kind == StationEvent::Kind::Summary    ? StationState::Stopped
                  : kind == StationEvent::Kind::Stopping ? StationState::Stopping
                                                         : StationState::Watching;
        return e;
    };
    StationBoard board({"bench-3", "Ana", summary});
    auto web = std::make_unique<StationWeb>(WebOptions{}, board, commands);
    board.Take(event(StationEvent::Kind::Watching));
    web->Take(event(StationEvent::Kind::Watching));
    tab = devtools->OpenTab(web->Url());
    ASSERT_TRUE(Shows("#station-state", "WATCHING")) << Text("body");
    EXPECT_FALSE(Evaluate("document.querySelector('#lost').checkVisibility()").get<bool>());
    EXPECT_EQ(Text("#package-signed"), "") << "no signer told where none was verified";
    EXPECT_TRUE(Shows("#started", "Started ")) << "when the run began";
    // Fault caught: a serial number passing for another's on the page (U+202E
    // before "1A00" shows "00A1"), where the text output shows it escaped.
    StationEvent reversed = event(StationEvent::Kind::Arrived);
    reversed.product.id = 1;
    reversed.product.path = "/dev/hidraw1";
    reversed.product.identity.serial = "\u202e1A00";
    reversed.product.identity.location = "1-1.9";
    board.Take(reversed);
    web->Take(reversed);
    EXPECT_TRUE(TileShows("1-1.9", "Serial \\u202e1A00")) << Tile("1-1.9");
    // Fault caught: the factory database's feed, down with lines waiting, not
    // shown on the page; its text shown as markup.
    StationEvent feed = event(StationEvent::Kind::RecordDb);
    feed.text = "unreachable";
    feed.caption = "<b>no route</b>";
    feed.recordDbWaiting = 3;
    board.Take(feed);
    web->Take(feed);
    EXPECT_TRUE(Shows("#record-db-state", "unreachable, 3 record lines waiting: <b>no route</b>"))
        << Text("#record-db");

    // Nothing changes, so the stream stays quiet, and the station's status is held unanswered.
    devtools->Call("Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*/api/status"}}})}}, tab);
    const auto quietFrom = std::chrono::steady_clock::now();
    EXPECT_TRUE(Shows("body", "Connection to the station lost", 8s)) << Text("body");
    EXPECT_GT(std::chrono::steady_clock::now() - quietFrom, 3s) << "a quiet station is no lost one";
    devtools->Call("Fetch.disable", json::object(), tab);
    EXPECT_TRUE(devtools->WaitUntil(tab, "document.querySelector('#lost').hidden", 8s)) << "it answers again";

    web.reset();
    EXPECT_TRUE(Shows("body", "Connection to the station lost", 2s)) << "at once, not when it next asks: " << Text("body");
    EXPECT_TRUE(Evaluate("document.querySelector('#stop').disabled").get<bool>());

    WebOptions guarded;
    guarded.token = "a-token-of-twenty-four-c";
    StationBoard before({"bench-3", "Ana", summary}), after({"bench-3", "Ana", summary});
    web = std::make_unique<StationWeb>(guarded, before, commands);
    before.Take(event(StationEvent::Kind::Watching));
    web->Take(event(StationEvent::Kind::Watching));
    devtools->Call("Page.navigate", {{"url", web->Link()}}, tab);
    ASSERT_TRUE(devtools->WaitUntil(tab, "document.querySelector('#login') !== null", 10s)) << Text("body");
    devtools->Click(tab, "#login");  // the link's page spends its key only by its button
    ASSERT_TRUE(Shows("#station-state", "WATCHING")) << "let in by its link: " << Text("body");
    const std::string url = web->Url();
    guarded.port = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
    web.reset();
    web = std::make_unique<StationWeb>(guarded, after, commands);  // started again
    after.Take(event(StationEvent::Kind::Watching));
    web->Take(event(StationEvent::Kind::Watching));
    EXPECT_TRUE(Shows("#lost", "open a new link from the station", 10s)) << Text("body");

    StationBoard ending({"bench-3", "Ana", summary});
    web = std::make_unique<StationWeb>(WebOptions{}, ending, commands);
    ending.Take(event(StationEvent::Kind::Watching));
    web->Take(event(StationEvent::Kind::Watching));
    devtools->Call("Page.navigate", {{"url", web->Url()}}, tab);
    ASSERT_TRUE(Shows("#station-state", "WATCHING")) << Text("body");
    StationEvent stopping = event(StationEvent::Kind::Stopping);
    stopping.text = "2 products in a row failed";
    ending.Take(stopping);
    web->Take(stopping);
    // Fault caught: Stop taken away while the station stops, though an upgrade that hangs there needs it.
    ASSERT_TRUE(Shows("#station-state", "STOPPING"));
    EXPECT_FALSE(Evaluate("document.querySelector('#stop').disabled").get<bool>());
    StationEvent stopped = event(StationEvent::Kind::Summary);
    stopped.end = Outcome::Refused;
    ending.Take(stopped);
    web->Take(stopped);
    EXPECT_TRUE(Shows("#stopped", "Station stopped (exit code 6)")) << Text("body");
    EXPECT_EQ(Text("#stop-reason"), "Why the station stopped: 2 products in a row failed");
    EXPECT_EQ(Text("#station-state"), "STOPPED ■");
    EXPECT_TRUE(Evaluate("document.querySelector('#stop').disabled").get<bool>());
    const std::string endingUrl = web->Url();
    web.reset();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(Evaluate("document.querySelector('#lost').hidden").get<bool>()) << "it stopped, it was not lost";
    EXPECT_TRUE(Shows("#stopped", "Station stopped"));

    // Fault caught: a page that stops asking once its station stopped, never
    // seeing the next run on the same port, or not saying a new run began.
    WebOptions samePort;
    samePort.port = static_cast<std::uint16_t>(std::stoi(endingUrl.substr(endingUrl.rfind(':') + 1)));
    StationBoard next({"bench-3", "Ana", summary});
    web = std::make_unique<StationWeb>(samePort, next, commands);
    next.Take(event(StationEvent::Kind::Watching));
    web->Take(event(StationEvent::Kind::Watching));
    EXPECT_TRUE(Shows("#new-run", "A new run of the station began", 15s)) << Text("body");
    EXPECT_TRUE(Shows("#station-state", "WATCHING")) << Text("body");
    web.reset();  // before the board it reads, which this test's scope ends first
}

}  // namespace
