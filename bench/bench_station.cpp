// The station with many products at once, natively against the simulated
// product whose every answer comes 20 ms after the block, as a product writing
// its flash: 1, 8 and 24 products plugged in together, the time until every
// one is upgraded (vsOne: against one product's), and the CPU the station
// takes while it waits for products (cpuPercent of one CPU).
//
//   build/release/bench/bench_station

#include "qefftool/exit_codes.h"
#include "package_files.h"
#include "simulated/simulated_hid.h"
#include "slow_answers.h"
#include "qefftool/station_output.h"
#include "qefftool/watch_command.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <streambuf>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerAfter = 20ms;

// Takes every line and keeps none.
struct Discard final : std::streambuf {
    int_type overflow(int_type c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Line {
    TempFolder folder;
    PackageContents package = SamplePackage();
    WatchOptions options;
    Discard discard;
    std::ostream stream{&discard};
    std::ostringstream errors;
    StationOutput out{stream, true, errors};

    Line() {
        package.firmware = CountingPayload(16 * 1024);
        package.blockLength = 1024;  // 16 answers, 320 ms at the least
        WriteBytes(folder / "p.qeff", BuildPackage(package));
        options.package = Utf8(folder / "p.qeff");
    }
};

double oneProductSeconds = 0;

void BM_ProductsPluggedInTogether(benchmark::State& state) {
    const auto products = static_cast<std::size_t>(state.range(0));
    Line line;
    line.options.limits.count = products;
    for (auto _ : state) {
        SimulatedHid hid;
        SlowAnswers slow(hid, kAnswerAfter);
        for (std::size_t i = 0; i < products; ++i) {
            auto product = ProductInterface(line.package);
            product.identity = {"QV-" + std::to_string(i), "usb-1-" + std::to_string(i), std::nullopt};
            hid.Attach(std::move(product));
        }
        const auto arrivals = hid.Arrivals();
        const std::atomic<bool> stop{false};
        const auto start = Clock::now();
        const int code = RunWatch(line.options, slow, *arrivals, line.out, stop);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        if (code != ExitSuccess)
            state.SkipWithError("not every product was upgraded");
        if (products == 1)
            oneProductSeconds = seconds;
        else if (oneProductSeconds > 0)
            state.counters["vsOne"] = seconds / oneProductSeconds;
    }
}
BENCHMARK(BM_ProductsPluggedInTogether)->Arg(1)->Arg(8)->Arg(24)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(3);

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The station waiting for a second with no product plugged in.
void BM_StationWaiting(benchmark::State& state) {
    Line line;
    for (auto _ : state) {
        SimulatedHid hid;
        const auto arrivals = hid.Arrivals();
        std::atomic<bool> stop{false};
        std::thread station([&] { RunWatch(line.options, hid, *arrivals, line.out, stop); });
        std::this_thread::sleep_for(100ms);  // past its start
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(1s);
        const double used = CpuSeconds() - cpu;
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        stop = true;
        station.join();
        state.SetIterationTime(wall);
        state.counters["cpuPercent"] = 100.0 * used / wall;
    }
}
BENCHMARK(BM_StationWaiting)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
