#include "station/station_event.h"

#include <cstdio>
#include <ctime>

const char* StationStateName(StationState state) {
    switch (state) {
    case StationState::Starting: return "starting";
    case StationState::Watching: return "watching";
    case StationState::Paused: return "paused";
    case StationState::Stopping: return "stopping";
    case StationState::Stopped: return "stopped";
    }
    return "starting";
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    long long rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, rest);
    return text;
}
