#pragma once

#include "station/factory/record_history.h"

#include <ostream>
#include <string>

// `qefftool records --db`: the history of a unit or a station across the
// factory's stations, a line a product: time, station, serial number,
// outcome, the package's SHA-256; with `json`, one object a line (the line
// the station recorded, when it parses). Failures go to `errors`. Returns the
// exit code.
int RunRecords(const std::string& connection, const HistoryFilter& filter, bool json, std::ostream& out,
               std::ostream& errors);

// --since: "2026-12-10", "2026-12-10T07:00:00Z" or "2026-12-10T07:00:00.250Z", UTC; none for other text.
std::optional<DbTime> ParseSince(const std::string& text);
