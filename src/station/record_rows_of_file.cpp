#include "station/record_rows_of_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>

using nlohmann::json;

namespace {

// The field's text, or none where it is missing or not text.
std::optional<std::string> TextField(const json& line, const char* name) {
    const auto it = line.find(name);
    if (it == line.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

std::optional<DbTime> ParseIsoUtc(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0, read = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &year, &month, &day, &hour, &minute, &second,
                    &millis, &read) != 7 ||
        static_cast<std::size_t>(read) != text.size())
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return DbTime{std::chrono::sys_days(date)} + std::chrono::hours(hour) + std::chrono::minutes(minute) +
           std::chrono::seconds(second) + std::chrono::milliseconds(millis);
}

RecordRowsOfFile::RecordRowsOfFile(std::string station) : station_(std::move(station)) {}

RecordRow RecordRowsOfFile::Next(std::string line) {
    const json parsed = json::parse(line, nullptr, false);
    RecordRow row;
    if (parsed.is_object()) {
        const std::optional<std::string> kind = TextField(parsed, "record");
        const std::optional<std::string> time = TextField(parsed, "time");
        if (kind == "start") {
            station_ = TextField(parsed, "station").value_or(station_);
            run_ = time.value_or(run_);
            number_ = 0;
        }
        if (const auto sha256 = TextField(parsed, "sha256"))
            packageSha256_ = *sha256;
        if (const auto at = time ? ParseIsoUtc(*time) : std::nullopt)
            lastTime_ = *at;
        if (kind == "product") {
            row.serial = TextField(parsed, "serial");
            row.outcome = TextField(parsed, "outcome");
        }
    }
    row.station = station_;
    row.run = run_;
    row.lineNumber = ++number_;
    row.recordedAt = lastTime_;
    row.packageSha256 = packageSha256_;
    row.line = std::move(line);
    return row;
}
