#pragma once

#include "station/station_event.h"

#include <string>

// The event's JSON line (without its newline), as `--json` writes it and the
// station's page streams it.
std::string StationEventJson(const StationEvent& event);
