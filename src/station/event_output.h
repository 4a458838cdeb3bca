#pragma once

#include "station/station_event.h"

#include <string>

// Where the station's lines go: a terminal, a pipe. Written on a thread of
// the station's own, so it may block and nothing else waits for it.
class EventOutput {
public:
    virtual ~EventOutput() = default;
    // Writes the event's line; false when it could not be written.
    virtual bool Write(const StationEvent& event) = 0;
    // Tells the person watching what went wrong with the output or the record.
    virtual void Warn(const std::string& text) = 0;
};
