#include "qefftool/watch_command.h"

#include "qefftool/exit_codes.h"
#include "qefftool/station_output.h"

int RunWatch(const WatchOptions& options, HidSystem& hid, HidArrivals& arrivals, StationOutput& out,
             StationEventSink& link, const std::atomic<bool>& stop, std::atomic<bool>* reloadToken) {
    Station station(options, hid, arrivals, out);
    station.Subscribe(link);
    return ExitCodeOf(station.Run(stop, reloadToken));
}
