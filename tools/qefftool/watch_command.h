#pragma once

#include "station/station.h"

#include <atomic>

class StationOutput;

using WatchOptions = StationOptions;

// `qefftool watch`: the station, its lines on `out`, until `stop` (Ctrl-C,
// the signals) or until it ends by itself. Returns its exit code.
int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             const std::atomic<bool>& stop);
