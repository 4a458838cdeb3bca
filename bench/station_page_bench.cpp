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

#include "devtools_client.h"
#include "package_files.h"
#include "simulated/simulated_hid.h"
#include "slow_answers.h"
#include "station/station_board.h"
#include "qefftool/station_output.h"
#include "station/web/station_web.h"
#include "qefftool/watch_command.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <sstream>
#include <streambuf>
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
    void Pause() override {}
    void Resume() override {}
    void Stop() override {}
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
    StationEvent e;
    e.kind = StationEvent::Kind::Watching;
    e.time = std::chrono::system_clock::now();
    web.Take(e);
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
        web.Take(e);
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
        web.Take(e);
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

// Takes every line and keeps the URL the station serves at.
struct Serving final : std::streambuf {
    std::mutex mutex;
    std::string line, url;
    std::atomic<int> done{0};
    int_type overflow(int_type c) override {
        const std::lock_guard lock(mutex);
        if (c != '\n') {
            line += static_cast<char>(c);
            return c;
        }
        const json l = json::parse(line, nullptr, false);
        line.clear();
        if (l.is_object() && l.value("event", "") == "serving")
            url = l.value("url", "");
        if (l.is_object() && l.value("event", "") == "done")
            ++done;
        return c;
    }
};

void Cpu(DevToolsClient& devtools, int tabs) {
    TempFolder folder;
    PackageContents package = SamplePackage();
    package.firmware = CountingPayload(64 * 1024);
    package.blockLength = 1024;  // 64 answers of 20 ms: 1.3 s a product
    WriteBytes(folder / "p.qeff", BuildPackage(package));
    SimulatedHid hid;
    SlowAnswers slow(hid, 20ms);
    const auto arrivals = hid.Arrivals();
    Serving lines;
    std::ostream stream(&lines);
    std::ostringstream errors;
    StationOutput out(stream, true, errors);
    WatchOptions options;
    options.package = Utf8(folder / "p.qeff");
    options.limits.maxParallel = 8;
    options.http = "127.0.0.1:0";
    std::atomic<bool> stop{false};
    std::thread station([&] { RunWatch(options, slow, *arrivals, out, stop); });
    std::string url;
    for (const auto until = Clock::now() + 10s; url.empty() && Clock::now() < until; std::this_thread::sleep_for(10ms)) {
        const std::lock_guard lock(lines.mutex);
        url = lines.url;
    }
    std::vector<DevToolsClient::Session> open;
    for (int i = 0; i < tabs; ++i)
        open.push_back(devtools.OpenTab(url, 1280, 900, true));  // ten people's browsers
    std::this_thread::sleep_for(1s);

    constexpr int kRounds = 3, kProducts = 8;
    double cpu = 0, wall = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::size_t> plugged;
        const int before = lines.done;
        const double cpuFrom = CpuSeconds();
        const auto from = Clock::now();
        for (int i = 0; i < kProducts; ++i) {
            auto product = ProductInterface(package, 65, 65);
            product.identity = {"C" + std::to_string(round) + "-" + std::to_string(i),
                                "1-1." + std::to_string(i + 1), std::nullopt};
            plugged.push_back(hid.Attach(std::move(product)));
        }
        while (lines.done < before + kProducts)
            std::this_thread::sleep_for(2ms);
        wall += std::chrono::duration<double>(Clock::now() - from).count();
        cpu += CpuSeconds() - cpuFrom;
        for (const std::size_t i : plugged)
            hid.Detach(i);
        std::this_thread::sleep_for(300ms);
    }
    for (const auto& tab : open)
        devtools.CloseTab(tab);
    stop = true;
    station.join();
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
