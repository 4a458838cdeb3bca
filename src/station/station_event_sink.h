#pragma once

#include "station/station_event.h"

// Something that hears of every station event as it is posted, in order, from
// whichever thread posted it: it must never block.
class StationEventSink {
public:
    virtual ~StationEventSink() = default;
    virtual void Take(const StationEvent& event) = 0;
};
