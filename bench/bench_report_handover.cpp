// What handing each report to the writing thread costs, natively: a bounded
// write through HidWriter against a direct write() on the same kind of
// descriptor, a socket pair that keeps each report whole and whose other end
// takes every report at once. The difference is the hand-over (two wake-ups a
// report), which a hidraw node over USB needs because its write() returns only
// once the product took the report. Per report; a full-speed USB frame is
// 1 ms, a high-speed microframe 125 µs.
//
//   build/release/bench/bench_report_handover

#include "platform/hid_writer_linux.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReport = 65;

// A socket pair whose far end a thread of its own empties as reports come.
struct TakingProduct {
    int ends[2] = {-1, -1};
    std::atomic<bool> over{false};
    std::thread taker;

    TakingProduct() {
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        taker = std::thread([this] {
            std::uint8_t report[kReport];
            while (!over && ::read(ends[1], report, sizeof report) > 0) {
            }
        });
    }
    ~TakingProduct() {
        over = true;
        ::shutdown(ends[1], SHUT_RDWR);
        taker.join();
        ::close(ends[1]);
    }
};

// Each report's share of a USB frame and microframe, in percent.
void Shares(benchmark::State& state, std::chrono::steady_clock::duration took) {
    const double perReportUs =
        std::chrono::duration<double, std::micro>(took).count() / static_cast<double>(state.iterations());
    state.counters["pct_of_1ms_frame"] = perReportUs / 1000.0 * 100.0;
    state.counters["pct_of_125us_microframe"] = perReportUs / 125.0 * 100.0;
}

void DirectWrite(benchmark::State& state) {
    TakingProduct product;
    const std::vector<std::uint8_t> report(kReport, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (::write(product.ends[0], report.data(), report.size()) != static_cast<ssize_t>(kReport))
            state.SkipWithError("the product took no report");
    }
    Shares(state, std::chrono::steady_clock::now() - start);
    ::close(product.ends[0]);
}
BENCHMARK(DirectWrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

void ThroughTheWritingThread(benchmark::State& state) {
    TakingProduct product;
    const std::vector<std::uint8_t> report(kReport, 0x5A);
    HidWriter writer(product.ends[0]);  // closes the near end
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (writer.Write(report, std::chrono::milliseconds(50)) != IoOutcome::Signalled)
            state.SkipWithError("the report did not go out in its bound");
    }
    Shares(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(ThroughTheWritingThread)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
