#pragma once

#include "station/factory/odbc_connection.h"
#include "station/factory/station_heartbeat.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// How the feed stands, as the station tells it.
struct RecordFeedStatus {
    std::string state;         // "connecting", "connected", "unreachable", "stopped"
    std::uint64_t waiting = 0;  // record lines not yet stored in the database
    std::string why;           // the last failure, while unreachable
};

// How long the feed waits for the database, and between its tries.
struct RecordFeedTimings {
    OdbcTimeouts timeouts{std::chrono::seconds(5), std::chrono::seconds(5), std::chrono::seconds(5)};
    std::chrono::milliseconds firstRetry{1000}, lastRetry{10000};  // doubled after each failure, up to the last
    std::chrono::milliseconds beatEvery{5000};  // the station's heartbeat row, written this often
};

// Feeds the factory's database from the station's record file, in the file's
// order, on a thread of its own: the station's transfers, arrivals and page
// never wait for the database. Each line is one row keyed (station, run, line
// number) (see RecordRowsOfFile), so a line sent twice is stored once. On its
// first connect it asks the database for the last line it holds of each run
// in the file and sends the rest, so lines that waited when the station was
// killed go at its next start. While the database cannot be reached, the
// lines wait and are tried again, 1 s after the failure and up to every 10 s.
// While connected it also writes the station's heartbeat row, every few
// seconds and once more when it ends, so the line's page tells the station's
// state and tells a station that went silent.
class RecordFeed {
public:
    using Told = std::function<void(const RecordFeedStatus&)>;
    // The station as its heartbeat tells it now (its name and run are the
    // record's); none before it has any to tell.
    using Beat = std::function<std::optional<StationHeartbeat>()>;

    // `station`: the name of lines before any start line; `told`: each change
    // of its state, and of the lines waiting (at most once a second), on the
    // feed's thread: it must never block; `beat`, on the same thread, likewise.
    RecordFeed(std::string recordPath, std::string connection, std::string station, Told told, Beat beat = {},
               RecordFeedTimings timings = {});
    ~RecordFeed();  // Finish(0)
    RecordFeed(const RecordFeed&) = delete;
    RecordFeed& operator=(const RecordFeed&) = delete;

    // A line was appended to the record file: it is sent soon.
    void LineWritten();
    // Waits up to `within` until every line written so far is stored; the
    // status then.
    RecordFeedStatus WaitSent(std::chrono::milliseconds within);
    // Gives the feed up to `within` to send what waits and ends it; `told` is
    // not called again. A feed stuck in a call to a stalled database is left
    // to it. The lines still waiting: they go at the next start.
    std::uint64_t Finish(std::chrono::milliseconds within);

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;  // also the thread's: one left in a stalled call may outlive the feed
};
