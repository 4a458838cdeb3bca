#pragma once

#include "station/station.h"

#include <atomic>

class StationOutput;

using WatchOptions = StationOptions;

// `qefftool watch`: the station, its lines on `out`, its one-time link to
// `link`, until `stop` (Ctrl-C, the signals) or until it ends by itself;
// `reloadToken` raised reads the token file again. Returns its exit code.
int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             StationEventSink& link, const std::atomic<bool>& stop, std::atomic<bool>* reloadToken);
