#pragma once

#include "device/device_discovery.h"
#include "platform/sha256.h"

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
    std::optional<std::size_t> count;    // stop once this many products were upgraded
};

// The station: keeps upgrading every product with the package's IDs as it is
// plugged in, several at once, each once while it stays attached, until `stop`
// (Ctrl-C) or until `count` products were upgraded. `stop` also ends the
// upgrades running, between two reports. Returns the worst product's exit code.
int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             const std::atomic<bool>& stop);
