#pragma once

#include "station/event_output.h"

#include <iostream>
#include <ostream>
#include <string>

// The station's lines on its output, one an event, as plain text or as JSON
// lines; what cannot go there goes to `errors`. Only the line writer's thread
// writes.
class StationOutput final : public EventOutput {
public:
    StationOutput(std::ostream& out, bool json, std::ostream& errors = std::cerr)
        : out_(out), json_(json), errors_(errors) {}

    // Writes the event's line and flushes it; false when it could not be written.
    bool Write(const StationEvent& event) override;
    void Warn(const std::string& text) override;  // on `errors`, after "qefftool: "

private:
    std::string TextLine(const StationEvent& event) const;

    std::ostream& out_;
    bool json_;
    std::ostream& errors_;
};
