#pragma once

#include "device/device_discovery.h"
#include "platform/sha256.h"
#include "station_policy.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

class HidArrivals;
class HidSystem;
class StationOutput;

struct WatchOptions {
    std::string package;
    std::optional<Sha256Digest> sha256;  // the package must have this hash, or nothing is looked for
    ProductChoice choice;                // only the products with this serial number and location
    StationLimits limits;                // --count, --stop-after-failures, --max-parallel, --returns-within
    std::optional<std::string> record;   // append a line per product to this file
    bool skipRecorded = false;           // skip serial numbers the record tells upgraded with this package
    std::string station;                 // the station's name in the record
    std::string operatorName;
    std::optional<std::string> http;       // serve the station's page and API at [ADDRESS:]PORT
    std::optional<std::string> httpToken;  // the file holding the secret every request to it carries
};

// The station: keeps upgrading every product with the package's IDs as it is
// plugged in, several at once, each once (a product that comes back after its
// upgrade is told of, not upgraded again), until `stop` (Ctrl-C), until
// `limits.count` products were upgraded, or until the line stops itself.
// `stop` also ends the upgrades running, between two reports. Returns the
// worst product's exit code, at least ExitInterrupted when `stop` ended it and
// ExitOutput when a line could not be written.
int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             const std::atomic<bool>& stop);
