// The station with many products at once, natively against the simulated
// product whose every answer comes 20 ms after the block, as a product writing
// its flash: 1, 8 and 24 products plugged in together, the time until every
// one is upgraded (vsOne: against one product's), and the CPU the station
// takes while it waits for products (cpuPercent of one CPU).
//
//   build/release/bench/bench_station

#include "support/simulated_station.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerAfter = 20ms;

double oneProductSeconds = 0;

void BM_ProductsPluggedInTogether(benchmark::State& state) {
    const auto products = static_cast<std::size_t>(state.range(0));
    DiscardedLines discarded;
    for (auto _ : state) {
        SimulatedStation line(16 * 1024, 1024);  // 16 answers, 320 ms at the least
        line.output = &discarded.out;
        line.options.limits.count = products;
        line.AnswerAfter(kAnswerAfter);
        for (std::size_t i = 0; i < products; ++i)
            line.hid.Attach(line.Product("QV-" + std::to_string(i), "usb-1-" + std::to_string(i)));
        const auto start = Clock::now();
        line.Start();
        const auto outcome = line.station->Finish(60s);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        if (outcome != Outcome::Upgraded)
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
    DiscardedLines discarded;
    for (auto _ : state) {
        SimulatedStation line;
        line.output = &discarded.out;
        line.Start();
        std::this_thread::sleep_for(100ms);  // past its start
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(1s);
        const double used = CpuSeconds() - cpu;
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        line.station->Interrupt();
        line.station->Finish();
        state.SetIterationTime(wall);
        state.counters["cpuPercent"] = 100.0 * used / wall;
    }
}
BENCHMARK(BM_StationWaiting)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
