// The factory's database under eight stations, each a process of its own
// running the real Station (as `qefftool watch` does) over 24 simulated
// products of a 64 KiB firmware that answer each 4 KiB block 85 ms later (a
// full-speed product takes its 64 reports in 64 ms and writes its flash in
// some 20), against one PostgreSQL server this program starts as the tests
// start theirs. It runs itself once per station (--station-process).
//
//   UpgradeWithAndWithoutTheDatabase/PLUG_EVERY_MS: the time until all 8 x 24
//     products are upgraded with --record-db and --skip-recorded (a claim at
//     every arrival) against without, the legs taken in turn; the products
//     plugged in all at once (0) or one every PLUG_EVERY_MS at each station;
//     the claims' round trips, arrival to claim granted, its start (median and 95th
//     percentile; each station's first, which logs in, apart).
//   RowsTheDatabaseTakes: the rows a second the server takes from the eight
//     feeds at once, each sending an earlier run of its record.
//   ServerDownForAMinute (with --server-down): the server unreachable for
//     60 s while products are plugged in one every 2.5 s at each station;
//     the rows waiting at the peak, the seconds until all arrive once it is
//     back, and the rows doubled or lost.
//
//   build/release/bench/bench_factory [--server-down]

#include "station/factory/factory_schema.h"
#include "station/factory/odbc_connection.h"
#include "station/factory/record_rows.h"
#include "station/record_rows_of_file.h"
#include "support/postgresql_server.h"
#include "support/simulated_station.h"
#include "support/tcp_relay.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kind = StationEvent::Kind;

constexpr int kStations = 8;
constexpr int kProducts = 24;
constexpr std::size_t kFirmware = 64 * 1024;
constexpr std::uint32_t kBlock = 4096;
constexpr auto kAnswerAfter = 85ms;
constexpr int kBacklog = 400;           // lines of each station's earlier run
constexpr auto kDownAfter = 5s;         // the server goes down this long after the go
constexpr auto kDownFor = 60s;
constexpr auto kPlugEvery = 2500ms;     // while it is down: 24 products in a minute

// What one station process is asked to do.
struct StationRun {
    std::string name, record;
    std::string db;          // the feed's connection string; empty: no --record-db
    int products = kProducts;
    int plugEveryMs = 0;     // 0: all plugged in together
    int backlog = 0;         // products of an earlier run, upgraded without the database before the go
    bool untilTold = false;  // runs until the parent writes again, not until its products are upgraded
};

// ---- The station process ----

// The record's earlier run: products answering at once, no database.
void WriteBacklog(const StationRun& run) {
    DiscardedLines discarded;
    SimulatedStation line(1024, 1024);
    line.output = &discarded.out;
    line.options.record = run.record;
    line.options.station = run.name;
    line.options.limits.count = static_cast<std::size_t>(run.backlog);
    line.Start();
    for (int i = 0; i < run.backlog;) {
        std::vector<std::size_t> batch;
        for (int j = 0; j < kProducts && i < run.backlog; ++j, ++i)
            batch.push_back(line.hid.Attach(line.Product("early-" + std::to_string(i), "usb-" + std::to_string(j))));
        line.events.WaitFor(Kind::Done, static_cast<std::size_t>(i), 60s);
        for (const std::size_t product : batch)
            line.hid.Detach(product);
    }
    line.station->Finish(60s);
}

// For each product, arrival to claim granted: from its Arrived event to its
// start (or its refusal), which follows its own claim's answer.
std::vector<double> ClaimMilliseconds(const RecordedEvents& events) {
    std::vector<StationEvent> steps;
    for (const Kind kind : {Kind::Arrived, Kind::Started, Kind::Claimed, Kind::Recorded, Kind::NotTaken})
        for (const StationEvent& e : events.Of(kind))
            steps.push_back(e);
    std::stable_sort(steps.begin(), steps.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
    std::vector<double> claims;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind != Kind::Arrived)
            continue;
        for (std::size_t j = i + 1; j < steps.size(); ++j) {
            if (steps[j].kind != Kind::Arrived && steps[j].product.id == steps[i].product.id) {
                claims.push_back(std::chrono::duration<double, std::milli>(steps[j].time - steps[i].time).count());
                break;
            }
        }
    }
    return claims;
}

int RunStation(const StationRun& run) {
    if (run.backlog > 0)
        WriteBacklog(run);
    DiscardedLines discarded;
    SimulatedStation line(kFirmware, kBlock);
    line.output = &discarded.out;
    line.options.record = run.record;
    line.options.station = run.name;
    if (!run.db.empty()) {
        line.options.recordDb = run.db;
        line.options.skipRecorded = true;
    }
    if (!run.untilTold)
        line.options.limits.count = static_cast<std::size_t>(run.products);
    line.AnswerAfter(kAnswerAfter);
    const auto plug = [&](int i) {
        line.hid.Attach(line.Product(run.name + "-" + std::to_string(i), "usb-" + std::to_string(i)));
    };
    // A line's stations are up, logged in to the database, before its first
    // fixture is loaded: the go plugs the products into a watching station.
    // A feed's backlog waits for the go, as its rows are what is measured.
    const bool upBeforeTheGo = run.backlog == 0;
    if (upBeforeTheGo && !line.Start())
        return 1;
    if (upBeforeTheGo)
        std::this_thread::sleep_for(1s);
    std::cout << "ready" << std::endl;
    char told = 0;
    if (read(STDIN_FILENO, &told, 1) != 1 || (!upBeforeTheGo && !line.Start()))
        return 1;
    if (run.plugEveryMs == 0)
        for (int i = 0; i < run.products; ++i)
            plug(i);
    std::thread plugging;
    if (run.plugEveryMs > 0) {
        plugging = std::thread([&] {
            const auto start = Clock::now();
            for (int i = 0; i < run.products; ++i) {
                std::this_thread::sleep_until(start + i * std::chrono::milliseconds(run.plugEveryMs));
                plug(i);
            }
        });
    }
    if (run.untilTold) {
        (void)!read(STDIN_FILENO, &told, 1);
        line.station->Interrupt();
    }
    const std::optional<Outcome> outcome = line.station->Finish(300s);
    if (plugging.joinable())
        plugging.join();
    int upgraded = 0;
    std::chrono::system_clock::time_point lastDone{};
    for (const StationEvent& e : line.events.Of(Kind::Done)) {
        upgraded += e.product.outcome == Outcome::Upgraded;
        lastDone = std::max(lastDone, e.time);
    }
    std::cout << "upgraded " << upgraded << "\nlastDone " << lastDone.time_since_epoch().count() << "\n";
    for (const double ms : ClaimMilliseconds(line.events))
        std::cout << "claim " << ms << "\n";
    std::cout << std::flush;
    return outcome ? 0 : 1;
}

// ---- The parent: eight station processes, the server, the numbers ----

struct StationReport {
    int upgraded = 0;
    std::chrono::system_clock::time_point lastDone{};
    std::vector<double> claims;  // ms
    bool ended = false;          // exited 0
};

// One station process: this program again, told its run on its command line.
class StationProcess {
public:
    explicit StationProcess(const StationRun& run) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("no pipe");
        const std::vector<std::string> arguments = {
            "/proc/self/exe", "--station-process", run.name, run.record, run.db.empty() ? "-" : run.db,
            std::to_string(run.products), std::to_string(run.plugEveryMs), std::to_string(run.backlog),
            run.untilTold ? "1" : "0"};
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            for (const int fd : {in[0], in[1], out[0], out[1]})
                close(fd);
            std::vector<char*> argv;
            for (const std::string& a : arguments)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = fdopen(out[0], "r");
    }
    ~StationProcess() {
        if (toChild_ >= 0)
            close(toChild_);
        if (fromChild_)
            fclose(fromChild_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    StationProcess(const StationProcess&) = delete;
    StationProcess& operator=(const StationProcess&) = delete;

    bool Ready() {
        char line[64];
        return fgets(line, sizeof line, fromChild_) && std::string(line) == "ready\n";
    }
    void Tell() { (void)!write(toChild_, "!", 1); }  // go; then, for a run until told, stop
    StationReport Finish() {
        StationReport report;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, fromChild_)) {
            const std::string line(buffer);
            const std::size_t space = line.find(' ');
            const std::string key = line.substr(0, space), value = line.substr(space + 1);
            if (key == "upgraded")
                report.upgraded = std::stoi(value);
            else if (key == "lastDone")
                report.lastDone = std::chrono::system_clock::time_point(
                    std::chrono::system_clock::duration(std::stoll(value)));
            else if (key == "claim")
                report.claims.push_back(std::stod(value));
        }
        int status = 0;
        waitpid(std::exchange(pid_, -1), &status, 0);
        report.ended = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return report;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* fromChild_ = nullptr;
};

// The eight stations, started together once each is ready.
class Fleet {
public:
    Fleet(const TempFolder& records, const std::string& db, StationRun like) {
        for (int i = 1; i <= kStations; ++i) {
            like.name = "line-" + std::to_string(i);
            like.record = Utf8(records / (like.name + ".jsonl"));
            like.db = db;
            records_.push_back(like.record);
            stations_.push_back(std::make_unique<StationProcess>(like));
        }
        for (auto& station : stations_)
            ready_ = station->Ready() && ready_;
    }
    bool Ready() const { return ready_; }
    void Tell() {
        if (!wentAt_)
            wentAt_ = std::chrono::system_clock::now();
        for (auto& station : stations_)
            station->Tell();
    }
    std::chrono::system_clock::time_point WentAt() const { return *wentAt_; }
    std::vector<StationReport> Finish() {
        std::vector<StationReport> reports;
        for (auto& station : stations_)
            reports.push_back(station->Finish());
        return reports;
    }
    // The lines of every station's record file so far.
    std::int64_t LinesWritten() const {
        std::int64_t lines = 0;
        for (const std::string& record : records_) {
            std::ifstream in(record, std::ios::binary);
            lines += std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
        }
        return lines;
    }
    const std::vector<std::string>& Records() const { return records_; }

private:
    std::vector<std::string> records_;
    std::vector<std::unique_ptr<StationProcess>> stations_;
    std::optional<std::chrono::system_clock::time_point> wentAt_;
    bool ready_ = true;
};

// The server, started once for the program; empty with `why` when it did not start.
const PostgresqlServer* Server(std::string& why) {
    static std::string whyNot;
    static const std::unique_ptr<PostgresqlServer> server = PostgresqlServer::Start(whyNot);
    why = whyNot;
    return server.get();
}

// A new, empty database of the server: its connection string.
std::string NewDatabase(const PostgresqlServer& server) {
    static int made = 0;
    const std::string name = "bench_" + std::to_string(getpid()) + "_" + std::to_string(++made);
    DbResult<OdbcConnection> maintenance = OdbcConnection::Open(server.ConnectionString() + "Database=postgres;");
    if (!maintenance || maintenance->Run("CREATE DATABASE " + name))
        throw std::runtime_error("could not make the database " + name);
    return server.ConnectionString() + "Database=" + name + ";";
}

// A new database whose tables were made, as a factory's are before its stations start.
std::string DatabaseSetUp(const PostgresqlServer& server) {
    const std::string connection = NewDatabase(server);
    DbResult<OdbcConnection> db = OdbcConnection::Open(connection);
    if (!db || EnsureFactorySchema(*db))
        throw std::runtime_error("could not make the tables");
    return connection;
}

// The rows of qeff_record; -1 before a station made the tables.
std::int64_t RowsIn(OdbcConnection& db) {
    DbResult<OdbcStatement> count = db.Prepare("SELECT COUNT(*) FROM qeff_record");
    if (!count || count->Execute() || !*count->Fetch())
        return -1;
    return count->Integer(1)->value_or(-1);
}

// The record files' lines that the database holds otherwise than the file
// (changed or missing) and the rows it holds of no line: lost and doubled.
std::pair<std::int64_t, std::int64_t> LostAndDoubled(OdbcConnection& db, const std::vector<std::string>& records) {
    std::int64_t lost = 0, inFiles = 0;
    for (const std::string& record : records) {
        std::ifstream in(record, std::ios::binary);
        RecordRowsOfFile rows("-");
        std::map<std::pair<std::string, std::string>, std::vector<RecordRow>> stored;
        for (std::string line; std::getline(in, line); ++inFiles) {
            const RecordRow row = rows.Next(line);
            auto run = stored.find({row.station, row.run});
            if (run == stored.end()) {
                DbResult<std::vector<RecordRow>> of = RecordRowsOfRun(db, row.station, row.run);
                run = stored.emplace(std::make_pair(row.station, row.run), of ? *of : std::vector<RecordRow>{}).first;
            }
            lost += std::find(run->second.begin(), run->second.end(), row) == run->second.end();
        }
    }
    return {lost, RowsIn(db) - (inFiles - lost)};
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

double Seconds(std::chrono::system_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The time until every product of the eight stations is upgraded, with the
// factory database (record rows and claims) and without, in turn.
void BM_UpgradeWithAndWithoutTheDatabase(benchmark::State& state) {
    std::string why;
    const PostgresqlServer* server = Server(why);
    if (!server)
        return state.SkipWithError(why.c_str());
    std::vector<double> claims, firstClaims;  // of each station's, the first logs in
    double with = 0, without = 0;
    int legs = 0;
    for (auto _ : state) {
        for (const bool withDb : {legs % 2 == 0, legs % 2 != 0}) {
            TempFolder records;
            StationRun run;
            run.plugEveryMs = static_cast<int>(state.range(0));
            Fleet fleet(records, withDb ? DatabaseSetUp(*server) : "", run);
            if (!fleet.Ready())
                return state.SkipWithError("a station did not start");
            fleet.Tell();
            std::chrono::system_clock::time_point last{};
            for (const StationReport& report : fleet.Finish()) {
                if (!report.ended || report.upgraded != kProducts)
                    return state.SkipWithError("not every product was upgraded");
                last = std::max(last, report.lastDone);
                if (withDb && !report.claims.empty()) {
                    firstClaims.push_back(report.claims.front());
                    claims.insert(claims.end(), report.claims.begin() + 1, report.claims.end());
                }
            }
            const double seconds = Seconds(last - fleet.WentAt());
            (withDb ? with : without) += seconds;
            if (withDb)
                state.SetIterationTime(seconds);
        }
        ++legs;
    }
    state.counters["withoutSeconds"] = without / legs;
    state.counters["withSeconds"] = with / legs;
    state.counters["slowerPercent"] = 100.0 * (with / without - 1.0);
    state.counters["claims"] = static_cast<double>(claims.size());
    state.counters["firstClaimMedianMs"] = Percentile(firstClaims, 0.5);
    state.counters["claimMedianMs"] = Percentile(claims, 0.5);
    state.counters["claimP95Ms"] = Percentile(claims, 0.95);
}
BENCHMARK(BM_UpgradeWithAndWithoutTheDatabase)->Arg(0)->Arg(250)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

// The rows a second the server takes from eight feeds at once: each station
// starts on a record holding an earlier run the database has not seen.
void BM_RowsTheDatabaseTakes(benchmark::State& state) {
    std::string why;
    const PostgresqlServer* server = Server(why);
    if (!server)
        return state.SkipWithError(why.c_str());
    double rowsPerSecond = 0;
    std::int64_t rows = 0;
    for (auto _ : state) {
        TempFolder records;
        const std::string connection = NewDatabase(*server);
        StationRun run;
        run.products = 0;
        run.backlog = kBacklog;
        run.untilTold = true;
        Fleet fleet(records, connection, run);
        DbResult<OdbcConnection> db = OdbcConnection::Open(connection);
        if (!fleet.Ready() || !db)
            return state.SkipWithError("a station did not start, or the database cannot be read");
        const std::int64_t expected = fleet.LinesWritten() + kStations;  // and each new run's start line
        fleet.Tell();
        std::optional<Clock::time_point> first;
        std::int64_t atFirst = 0, now = 0;
        const auto deadline = Clock::now() + 120s;
        while ((now = RowsIn(*db)) < expected && Clock::now() < deadline) {
            if (!first && now > 0) {
                first = Clock::now();
                atFirst = now;
            }
            std::this_thread::sleep_for(5ms);
        }
        const auto end = Clock::now();
        fleet.Tell();
        fleet.Finish();
        if (now < expected || !first)
            return state.SkipWithError("the rows did not all arrive within 2 minutes");
        const double sending = std::chrono::duration<double>(end - *first).count();
        state.SetIterationTime(sending);
        rowsPerSecond += static_cast<double>(now - atFirst) / sending;
        rows = now;
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["rowsPerSecond"] = rowsPerSecond / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RowsTheDatabaseTakes)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The server unreachable for a minute while the stations upgrade: the rows
// waiting, their catching up once it is back, none doubled or lost.
void BM_ServerDownForAMinute(benchmark::State& state) {
    std::string why;
    const PostgresqlServer* server = Server(why);
    if (!server)
        return state.SkipWithError(why.c_str());
    for (auto _ : state) {
        TempFolder records;
        const std::string connection = NewDatabase(*server);
        std::smatch port;
        std::regex_search(connection, port, std::regex("Port=(\\d+);"));
        TcpRelay relay(std::stoi(port[1]));
        StationRun run;
        run.plugEveryMs = static_cast<int>(std::chrono::milliseconds(kPlugEvery).count());
        run.untilTold = true;
        Fleet fleet(records, std::regex_replace(connection, std::regex("Port=\\d+;"),
                                                "Port=" + std::to_string(relay.Port()) + ";"),
                    run);
        DbResult<OdbcConnection> db = OdbcConnection::Open(connection);  // around the relay
        if (!fleet.Ready() || !db)
            return state.SkipWithError("a station did not start, or the database cannot be read");
        fleet.Tell();
        const auto went = Clock::now();
        std::this_thread::sleep_until(went + kDownAfter);
        relay.Set(TcpRelay::Mode::Down);
        std::int64_t peak = 0;
        while (Clock::now() < went + kDownAfter + kDownFor) {
            peak = std::max(peak, fleet.LinesWritten() - RowsIn(*db));
            std::this_thread::sleep_for(100ms);
        }
        relay.Set(TcpRelay::Mode::Passing);
        const auto back = Clock::now();
        const std::int64_t allLines = kStations * (1 + kProducts);  // each run's start line and its products
        while ((fleet.LinesWritten() < allLines || RowsIn(*db) < fleet.LinesWritten()) && Clock::now() < back + 120s) {
            peak = std::max(peak, fleet.LinesWritten() - RowsIn(*db));
            std::this_thread::sleep_for(10ms);
        }
        const double catchingUp = std::chrono::duration<double>(Clock::now() - back).count();
        fleet.Tell();
        int upgraded = 0;
        for (const StationReport& report : fleet.Finish())
            upgraded += report.upgraded;
        Within(10s, [&] { return RowsIn(*db) >= fleet.LinesWritten(); });  // the stop lines
        const auto [lost, doubled] = LostAndDoubled(*db, fleet.Records());
        state.SetIterationTime(catchingUp);
        state.counters["upgraded"] = upgraded;
        state.counters["peakWaiting"] = static_cast<double>(peak);
        state.counters["catchUpSeconds"] = catchingUp;
        state.counters["lines"] = static_cast<double>(fleet.LinesWritten());
        state.counters["rows"] = static_cast<double>(RowsIn(*db));
        state.counters["lost"] = static_cast<double>(lost);
        state.counters["doubled"] = static_cast<double>(doubled);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 9 && std::strcmp(argv[1], "--station-process") == 0) {
        StationRun run{argv[2], argv[3], std::strcmp(argv[4], "-") == 0 ? "" : argv[4], std::atoi(argv[5]),
                       std::atoi(argv[6]), std::atoi(argv[7]), std::strcmp(argv[8], "1") == 0};
        return RunStation(run);
    }
    // The minute the server is down takes two: asked for by name.
    const auto down = std::find_if(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--server-down") == 0; });
    if (down != argv + argc) {
        std::rotate(down, down + 1, argv + argc);
        --argc;
        benchmark::RegisterBenchmark("BM_ServerDownForAMinute", BM_ServerDownForAMinute)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
