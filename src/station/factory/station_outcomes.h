#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"
#include "station/factory/record_rows.h"

#include <cstdint>
#include <string>
#include <vector>

// How many product lines of one station told one outcome.
struct OutcomeCount {
    std::string station;
    std::string outcome;
    std::int64_t count = 0;
};

// Every station's product lines recorded at or after `since`, counted by outcome.
DbResult<std::vector<OutcomeCount>> CountOutcomesSince(OdbcConnection& connection, DbTime since);

// Each station's last `perStation` product lines whose outcome is none of
// `notFailures` (upgraded, verified, and interrupted, which is no failure),
// recorded at or after `since`, by station, newest first. The time keeps the
// query to the rows of recent days, however long the record grows.
DbResult<std::vector<RecordRow>> LastFailures(OdbcConnection& connection, const std::vector<std::string>& notFailures,
                                              std::int64_t perStation, DbTime since);
