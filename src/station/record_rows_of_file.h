#pragma once

#include "station/factory/record_rows.h"

#include <cstdint>
#include <string>

// Turns a record file's lines, read in order from its first, into the rows of
// the factory's database. Each start line begins a run, named by the start
// line's time, of the station the start line names; the lines are numbered
// from 1 in their run. A line that is not a record's JSON (one torn by a
// crash) is still a row: its bytes, with its run's package and the time of
// the line before it.
class RecordRowsOfFile {
public:
    // `station`: the name of the lines written before any start line.
    explicit RecordRowsOfFile(std::string station);

    // The row of the file's next line (without its newline).
    RecordRow Next(std::string line);

private:
    std::string station_;
    std::string run_ = "-";  // lines before any start line
    std::int64_t number_ = 0;
    std::string packageSha256_;
    DbTime lastTime_{};
};

// "2026-12-09T13:45:07.123Z" as a time; none for any other text.
std::optional<DbTime> ParseIsoUtc(const std::string& text);
