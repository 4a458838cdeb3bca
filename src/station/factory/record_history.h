#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"
#include "station/factory/record_rows.h"

#include <optional>
#include <string>
#include <vector>

// Which products' lines to look up across the factory's stations.
struct HistoryFilter {
    std::optional<std::string> serial;   // one unit's
    std::optional<std::string> station;  // one station's
    std::optional<DbTime> since;         // recorded at or after this
};

// The product lines (not the start and stop lines) of every station that
// match, oldest first.
DbResult<std::vector<RecordRow>> RecordHistory(OdbcConnection& connection, const HistoryFilter& filter);
