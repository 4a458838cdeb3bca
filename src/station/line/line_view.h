#pragma once

#include "station/factory/record_rows.h"
#include "station/factory/station_heartbeat.h"
#include "station/factory/station_outcomes.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the line's page shows, built from the factory database's rows: no
// database here, so that every rule can be tried on its own.

// The outcomes that are no failure: a success, or a product the station let
// go when it stopped.
inline const std::vector<std::string> kNotFailures{"upgraded", "verified", "interrupted"};

// One station's products today.
struct StationToday {
    std::int64_t upgraded = 0;
    std::int64_t failed = 0;
};

// The counts by outcome, by station: upgraded (or verified), and failed
// (any other outcome but interrupted).
std::map<std::string, StationToday> TodayOf(const std::vector<OutcomeCount>& counts);

// The local midnight of `now`, by this computer's time zone: where "today" begins.
DbTime LocalMidnight(std::chrono::system_clock::time_point now);

// Which stations died: a station's heartbeat is stale when its seen_at (by
// the station's clock, which may differ from ours) did not change for
// kUnchangedFor of our own steady time, or was kBehindAtFirst behind our
// clock when first seen. A stopped station is stopped, never silent.
class SilenceWatch {
public:
    static constexpr auto kUnchangedFor = std::chrono::seconds(20);
    static constexpr auto kBehindAtFirst = std::chrono::seconds(60);

    bool Silent(const StationHeartbeat& beat, std::chrono::steady_clock::time_point steadyNow,
                std::chrono::system_clock::time_point now);

private:
    struct Seen {
        DbTime seenAt;
        std::chrono::steady_clock::time_point changedAt;
        bool staleAtFirst = false;
    };
    std::map<std::string, Seen> seen_;
};

// What the line's poller read last.
struct LineState {
    std::vector<StationHeartbeat> beats;
    std::set<std::string> silent;
    std::map<std::string, StationToday> today;
    std::map<std::string, std::vector<RecordRow>> failures;  // each station's newest first
    std::optional<std::chrono::system_clock::time_point> readAt;  // none before the first read
};

// Why the database was not read, since when.
struct DatabaseTrouble {
    std::chrono::system_clock::time_point since;
    std::string why;
};

// GET /api/line: the database's state and every station's.
std::string LineJson(const LineState& state, const std::optional<DatabaseTrouble>& trouble);

// GET /api/history?serial=S: the unit's product lines at every station, oldest first.
std::string HistoryJson(const std::string& serial, const std::vector<RecordRow>& rows);

// The "message" of a record line's JSON; empty when it has none.
std::string MessageOf(const std::string& line);
