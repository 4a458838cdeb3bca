#pragma once

#include "station/station_event.h"

#include <string>

// Who runs the station, with what, as every record line tells it.
struct RecordHeader {
    std::string station;   // its name (the host's by default)
    std::string operatorName;
    PackageSummary package;
};

// The record's JSON line (ending in a newline) for a product done, the
// station's start (Watching) or its stop (Summary); empty for other events.
std::string RecordLine(const StationEvent& event, const RecordHeader& header);
