#include "station/line/line_view.h"

#include "station/station_event.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <mutex>

using nlohmann::json;

std::map<std::string, StationToday> TodayOf(const std::vector<OutcomeCount>& counts) {
    std::map<std::string, StationToday> today;
    for (const OutcomeCount& count : counts) {
        StationToday& station = today[count.station];
        if (count.outcome == "upgraded" || count.outcome == "verified")
            station.upgraded += count.count;
        else if (count.outcome != "interrupted")
            station.failed += count.count;
    }
    return today;
}

DbTime LocalMidnight(std::chrono::system_clock::time_point now) {
    // std::localtime's result is shared by the process: taken under a lock.
    static std::mutex mutex;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    {
        const std::lock_guard lock(mutex);
        local = *std::localtime(&seconds);
    }
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;  // as the time zone has it at midnight
    return std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::from_time_t(std::mktime(&local)));
}

bool SilenceWatch::Silent(const StationHeartbeat& beat, std::chrono::steady_clock::time_point steadyNow,
                          std::chrono::system_clock::time_point now) {
    auto found = seen_.find(beat.station);
    if (found == seen_.end()) {
        const bool behind = now - beat.seenAt > kBehindAtFirst;
        found = seen_.emplace(beat.station, Seen{beat.seenAt, steadyNow, behind}).first;
    } else if (found->second.seenAt != beat.seenAt) {
        found->second = Seen{beat.seenAt, steadyNow, false};
    }
    if (beat.state == "stopped")
        return false;
    return found->second.staleAtFirst || steadyNow - found->second.changedAt >= kUnchangedFor;
}

namespace {

std::string Iso(DbTime time) { return IsoUtc(std::chrono::system_clock::time_point(time)); }

// The package's file name, without its folders (either system's).
std::string FileName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string MessageOf(const std::string& line) {
    const json parsed = json::parse(line, nullptr, false);
    if (!parsed.is_object())
        return {};
    const auto message = parsed.find("message");
    return message != parsed.end() && message->is_string() ? message->get<std::string>() : std::string();
}

std::string LineJson(const LineState& state, const std::optional<DatabaseTrouble>& trouble) {
    json stations = json::array();
    for (const StationHeartbeat& beat : state.beats) {
        const auto today = state.today.find(beat.station);
        const StationToday counts = today == state.today.end() ? StationToday{} : today->second;
        const std::int64_t done = counts.upgraded + counts.failed;
        json failures = json::array();
        if (const auto failed = state.failures.find(beat.station); failed != state.failures.end())
            for (const RecordRow& row : failed->second)
                failures.push_back({{"time", Iso(row.recordedAt)},
                                    {"serial", row.serial.value_or("")},
                                    {"outcome", row.outcome.value_or("")},
                                    {"message", MessageOf(row.line)}});
        stations.push_back({
            {"name", beat.station},
            {"state", beat.state},
            {"silent", state.silent.contains(beat.station)},
            {"seenAt", Iso(beat.seenAt)},
            {"run", beat.run},
            {"package", FileName(beat.package)},
            {"packageSha256", beat.packageSha256},
            {"firmwareCode", beat.firmwareCode},
            {"page", beat.page},
            {"today",
             {{"upgraded", counts.upgraded},
              {"failed", counts.failed},
              {"yield", done > 0 ? json(static_cast<double>(counts.upgraded) / static_cast<double>(done)) : json()}}},
            {"failures", std::move(failures)},
        });
    }
    json database = {{"reachable", !trouble}};
    if (trouble) {
        database["since"] = IsoUtc(trouble->since);
        database["message"] = trouble->why;
    }
    const json line = {{"database", std::move(database)},
                       {"readAt", state.readAt ? json(IsoUtc(*state.readAt)) : json()},
                       {"stations", std::move(stations)}};
    // Outside data (names, serial numbers, messages) that is no valid UTF-8 is replaced, never refused.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string HistoryJson(const std::string& serial, const std::vector<RecordRow>& rows) {
    json lines = json::array();
    for (const RecordRow& row : rows)
        lines.push_back({{"time", Iso(row.recordedAt)},
                         {"station", row.station},
                         {"outcome", row.outcome.value_or("")},
                         {"packageSha256", row.packageSha256},
                         {"message", MessageOf(row.line)}});
    return json{{"serial", serial}, {"rows", std::move(lines)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}
