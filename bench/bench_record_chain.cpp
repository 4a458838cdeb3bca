// What chaining a record line costs beside putting it on disk: a product's
// line sealed with its chain alone and with its MAC, against one append and
// fsync of the line in the current folder (run it from a folder on the disk
// the record is kept on; /tmp may be in memory).
//
//   (cd build/release && bench/bench_record_chain)

#include "station/record_file.h"
#include "station/record_line.h"
#include "station/sealed_record_file.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

// A line a product's record takes, as the station makes it.
std::string ProductLine() {
    StationEvent done;
    done.kind = StationEvent::Kind::Done;
    done.product.path = "/dev/hidraw3";
    done.product.identity = {"QV-00412", "usb-0000:00:14.0-4/input0", 0x0102};
    done.product.message = "The firmware was upgraded.";
    const RecordHeader header{"line-3", "Ana", {}};
    return RecordLine(done, header);
}

// Takes every line and keeps none.
struct NoFile final : RecordFile {
    bool Append(const std::string&) override { return true; }
};

void Seal(benchmark::State& state, std::optional<std::string> key) {
    const std::string line = ProductLine();
    SealedRecordFile record(std::make_unique<NoFile>(), std::string(64, '0'), std::move(key));
    for (auto _ : state)
        benchmark::DoNotOptimize(record.Append(line));
    state.counters["lineBytes"] = static_cast<double>(line.size());
}

void BM_ChainALine(benchmark::State& state) { Seal(state, std::nullopt); }
void BM_ChainAndMacALine(benchmark::State& state) { Seal(state, "a secret of the line, kept apart"); }

void BM_AppendAndFsyncALine(benchmark::State& state) {
    const std::string path = "bench_record_chain.jsonl";
    std::remove(path.c_str());
    const std::string line = ProductLine();
    {
        const auto record = RecordFile::Open(path);
        if (!record) {
            state.SkipWithError("the record cannot be opened in the current folder");
            return;
        }
        for (auto _ : state)
            if (!record->Append(line))
                state.SkipWithError("the line cannot be written");
    }
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_ChainALine);
BENCHMARK(BM_ChainAndMacALine);
BENCHMARK(BM_AppendAndFsyncALine)->UseRealTime();
BENCHMARK_MAIN();
