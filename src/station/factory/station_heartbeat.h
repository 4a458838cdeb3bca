#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"

#include <optional>
#include <string>
#include <vector>

// A station's last sign of life: a row of qeff_heartbeat, one per station.
struct StationHeartbeat {
    std::string station;
    std::string state;  // "watching" "paused" "stopping" "stopped"
    std::string run;
    std::string package;  // the package's file
    std::string packageSha256;
    std::string firmwareCode;
    std::string page;    // the station's own page; empty where it serves none
    std::string status;  // its GET /api/status JSON
    DbTime seenAt;

    bool operator==(const StationHeartbeat&) const = default;
};

// Writes the station's row, in place of the one before it.
DbStatus WriteHeartbeat(OdbcConnection& connection, const StationHeartbeat& beat);

// Every station's row, by name.
DbResult<std::vector<StationHeartbeat>> ReadHeartbeats(OdbcConnection& connection);
