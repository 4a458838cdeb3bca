// The station's page in headless Chromium, measured:
//  1. latency: from an event handed to the station's web (stamped with the
//     system clock) to the change of its tile in the page (stamped by a
//     MutationObserver with performance.timeOrigin + performance.now(), the
//     same clock), over 1000 progress events 10 ms apart: median, 99th
//     percentile and worst;
//  2. the station's CPU (this process: the station, its web, the simulated
//     products) while 8 simulated products upgrade, with no page open and
//     with 10 tabs following it, each as another browser (one browser holds
//     at most 6 connections to a server, and each page keeps one open).
//
//   build/debug/bench/station_page_bench [events]   (needs chromium)

#include "support/devtools_client.h"
#include "support/simulated_station.h"
#include "station/station_board.h"
#include "station/web/station_web.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

double MsSinceEpoch(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

double CpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

struct NoCommands final : StationCommands {
    CommandAnswer Pause(const std::string&) override { return {}; }
    CommandAnswer Resume(const std::string&) override { return {}; }
    CommandAnswer Stop(const std::string&) override { return {}; }
};

// Each change of a tile's state text, stamped, kept in the page for the end.
constexpr const char* kStamper = R"((() => {
    window.stamps = [];
    new MutationObserver(() => {
        const at = performance.timeOrigin + performance.now();
        for (const t of document.querySelectorAll('#tiles > li'))
            window.stamps.push([at, t.dataset.place, t.querySelector('.state').textContent]);
    }).observe(document.getElementById('tiles'), {subtree: true, childList: true, characterData: true});
    return true;
})())";

void Latency(DevToolsClient& devtools, int events) {
    PackageSummary summary;
    summary.productName = "Probe";
    StationBoard board({"bench", "", summary});
    NoCommands commands;
    StationWeb web(WebOptions{}, board, commands);
    const auto post = [&](const StationEvent& e) {  // as the station's model does: the board, then the page
        board.Take(e);
        web.Take(e);
    };
    StationEvent e;
    e.kind = StationEvent::Kind::Watching;
    e.time = std::chrono::system_clock::now();
    post(e);
    const int kProducts = std::max(1, (events + 99) / 100);  // each tile's percent changes at most 100 times
    for (int i = 0; i < kProducts; ++i) {
        e = {};
        e.kind = StationEvent::Kind::Started;
        e.time = std::chrono::system_clock::now();
        e.product.id = static_cast<std::size_t>(i + 1);
        e.product.path = "sim:" + std::to_string(i);
        e.product.identity.serial = "L" + std::to_string(i);
        e.product.identity.location = "1-1." + std::to_string(i + 1);
        e.product.startedAt = e.time;
        post(e);
    }
    const auto tab = devtools.OpenTab(web.Url());
    if (!devtools.WaitUntil(tab, "document.querySelectorAll('#tiles > li').length === " + std::to_string(kProducts), 10s))
        throw std::runtime_error("the page showed no tiles");
    devtools.Evaluate(tab, kStamper);

    // Event k: product k % kProducts at percent 1 + k / kProducts, each a change of its tile.
    std::map<std::pair<std::string, std::string>, double> sent;  // place, state text: when
    for (int k = 0; k < events; ++k) {
        const int i = k % kProducts, percent = 1 + k / kProducts;
        e = {};
        e.kind = StationEvent::Kind::Progress;
        e.product.id = static_cast<std::size_t>(i + 1);
        e.product.path = "sim:" + std::to_string(i);
        e.product.identity.serial = "L" + std::to_string(i);
        e.product.identity.location = "1-1." + std::to_string(i + 1);
        e.percent = percent;
        e.time = std::chrono::system_clock::now();
        sent[{e.product.identity.location, "UPGRADING " + std::to_string(percent) + " %"}] = MsSinceEpoch(e.time);
        post(e);
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(500ms);
    const json stamps = devtools.Evaluate(tab, "window.stamps");
    devtools.CloseTab(tab);
    std::map<std::pair<std::string, std::string>, double> seen;
    for (const json& s : stamps)
        seen.emplace(std::pair{s[1].get<std::string>(), s[2].get<std::string>()}, s[0].get<double>());
    std::vector<double> latencies;
    for (const auto& [what, at] : sent)
        if (const auto shown = seen.find(what); shown != seen.end())
            latencies.push_back(shown->second - at);
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty())
        throw std::runtime_error("no change seen");
    std::printf("latency, event to tile: %zu of %zu changes seen; median %.2f ms, 99th percentile %.2f ms, worst %.2f ms\n",
                latencies.size(), sent.size(), latencies[latencies.size() / 2],
                latencies[latencies.size() * 99 / 100], latencies.back());
}

void Cpu(DevToolsClient& devtools, int tabs) {
    DiscardedLines discarded;
    SimulatedStation line(64 * 1024, 1024);  // 64 answers of 20 ms: 1.3 s a product
    line.output = &discarded.out;
    line.AnswerAfter(20ms);
    line.options.limits.maxParallel = 8;
    line.options.http = "127.0.0.1:0";
    line.Start();
    const auto serving = line.events.Of(StationEvent::Kind::Serving);
    const std::string url = serving.empty() ? "" : serving[0].text;
    std::vector<DevToolsClient::Session> open;
    for (int i = 0; i < tabs; ++i)
        open.push_back(devtools.OpenTab(url, 1280, 900, true));  // ten people's browsers
    std::this_thread::sleep_for(1s);

    constexpr int kRounds = 3, kProducts = 8;
    double cpu = 0, wall = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::size_t> plugged;
        const double cpuFrom = CpuSeconds();
        const auto from = Clock::now();
        for (int i = 0; i < kProducts; ++i)
            plugged.push_back(line.hid.Attach(
                line.Product("C" + std::to_string(round) + "-" + std::to_string(i), "1-1." + std::to_string(i + 1))));
        line.events.WaitFor(StationEvent::Kind::Done, static_cast<std::size_t>((round + 1) * kProducts), std::chrono::minutes(1));
        wall += std::chrono::duration<double>(Clock::now() - from).count();
        cpu += CpuSeconds() - cpuFrom;
        for (const std::size_t i : plugged)
            line.hid.Detach(i);
        std::this_thread::sleep_for(300ms);
    }
    for (const auto& tab : open)
        devtools.CloseTab(tab);
    line.station->Interrupt();
    line.station->Finish();
    std::printf("station CPU with %2d tabs open, 8 products upgrading: %.1f %% of one CPU (%.2f s CPU in %.2f s)\n", tabs,
                100 * cpu / wall, cpu, wall);
}

}  // namespace

int main(int argc, char** argv) {
    const auto program = HeadlessChromium::Program();
    if (!program) {
        std::fprintf(stderr, "the package chromium is not installed (apt-get install chromium)\n");
        return 77;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
    HeadlessChromium browser(*program);
    DevToolsClient devtools(browser);
    Latency(devtools, events);
    Cpu(devtools, 0);
    Cpu(devtools, 10);
    return 0;
}
