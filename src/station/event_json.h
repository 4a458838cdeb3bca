#pragma once

#include "station/station_event.h"

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

// The event's JSON line (without its newline), as `--json` writes it and the
// station's page streams it.
std::string StationEventJson(const StationEvent& event);

// The `found` line `--json` writes before a product's `started` line, in the
// words `upgrade --json` tells a product found by (path, serial, location).
std::string StationFoundJson(const StationEvent& started);

// A release number as the JSON lines and the record tell it: "2.41", or null where unknown.
nlohmann::json ReleaseJson(const std::optional<std::uint16_t>& release);
