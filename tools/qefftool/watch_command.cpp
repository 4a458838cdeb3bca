#include "qefftool/watch_command.h"

#include "qefftool/exit_codes.h"
#include "qefftool/station_output.h"

int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             const std::atomic<bool>& stop) {
    Station station(options, hid, arrivals, out);
    return ExitCodeOf(station.Run(stop));
}
