#pragma once

#include "station_event.h"

#include <set>
#include <string>
#include <string_view>

// Who runs the station, with what, as every record line tells it.
struct RecordHeader {
    std::string station;   // its name (the host's by default)
    std::string operatorName;
    PackageSummary package;
};

// The record's JSON line (ending in a newline) for a product done, the
// station's start (Watching) or its stop (Summary); empty for other events.
std::string RecordLine(const StationEvent& event, const RecordHeader& header);

// The serial numbers a record tells were upgraded with the package of this
// SHA-256 (hexadecimal). The record is outside data: any bytes are taken, and
// a line that is no record (one torn by a crash) is passed over.
std::set<std::string> RecordedUpgrades(std::string_view record, const std::string& sha256);
