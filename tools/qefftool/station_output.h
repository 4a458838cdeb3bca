#pragma once

#include "station_event.h"

#include <iostream>
#include <ostream>
#include <string>

// The station's lines on its output, one an event, as plain text or as JSON
// lines; what cannot go there goes to `errors`. Only the line writer's thread
// writes.
class StationOutput {
public:
    StationOutput(std::ostream& out, bool json, std::ostream& errors = std::cerr)
        : out_(out), json_(json), errors_(errors) {}

    // Writes the event's line and flushes it; false when it could not be written.
    bool Write(const StationEvent& event);
    std::ostream& Errors() { return errors_; }

private:
    std::string TextLine(const StationEvent& event) const;

    std::ostream& out_;
    bool json_;
    std::ostream& errors_;
};

// The event's JSON line (without its newline), as `--json` writes it and the
// station's page streams it.
std::string StationEventJson(const StationEvent& event);

// How to grant access to a product whose node may not be opened.
std::string DeniedHint(std::uint16_t vendorId, std::uint16_t productId);
