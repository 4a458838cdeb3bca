#pragma once

#include "station/station_event_sink.h"

#include <ostream>
#include <string>

// Where the station's one-time link goes: only where the station's own user
// reads it, never into its lines (a service's journal): the file `file`
// (only its user may read it) when one is named, else `errors` when it is a
// terminal. Anywhere else it is not written, and `errors` says how to get one.
class LoginLinkOutput final : public StationEventSink {
public:
    // `page`: what the link opens, as the terminal is told it.
    LoginLinkOutput(std::string file, std::ostream& errors, bool errorsAreTerminal,
                    std::string page = "the station's page")
        : file_(std::move(file)), errors_(errors), terminal_(errorsAreTerminal), page_(std::move(page)) {}

    void Take(const StationEvent& event) override;

private:
    std::string file_;
    std::ostream& errors_;
    bool terminal_;
    std::string page_;
};
