// The line's rules without a database: when a station is silent, what
// counts today; and the line's site going through the server's rules.

#include "station/line/line_page.h"
#include "station/line/line_view.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace std::chrono_literals;

struct SilenceRow {
    const char* what;
    const char* state;
    std::chrono::seconds behindAtFirst;  // seen_at behind the line's clock at the first look
    std::chrono::seconds later;          // the second look, by the line's steady time
    bool changed;                        // seen_at changed meanwhile
    bool silent;                         // at the second look
};

// Faults caught: a station whose clock is behind called silent while it
// beats; a station whose seen_at stopped changing, or was old at the first
// look, not called silent; a stopped station called silent.
TEST(SilenceWatch, GoesByTheLinesOwnTime) {
    const SilenceRow rows[] = {
        {"beating, its clock 5 min behind", "watching", 300s, 30s, true, false},
        {"5 min behind at the first look, unchanged since", "watching", 300s, 19s, false, true},
        {"unchanged 20 s", "watching", 0s, 20s, false, true},
        {"unchanged 19 s", "paused", 0s, 19s, false, false},
        {"61 s behind at the first look", "watching", 61s, 0s, false, true},
        {"59 s behind at the first look", "watching", 59s, 0s, false, false},
        {"stopped, unchanged for long", "stopped", 3600s, 3600s, false, false},
    };
    for (const SilenceRow& row : rows) {
        SilenceWatch watch;
        const auto now = std::chrono::system_clock::now();
        const auto steady = std::chrono::steady_clock::now();
        StationHeartbeat beat;
        beat.station = "bench-1";
        beat.state = row.state;
        beat.seenAt = std::chrono::time_point_cast<std::chrono::milliseconds>(now - row.behindAtFirst);
        watch.Silent(beat, steady, now);
        if (row.changed)
            beat.seenAt += 5s;
        EXPECT_EQ(watch.Silent(beat, steady + row.later, now + row.later), row.silent) << row.what;
    }
}

// Faults caught: verified not counted as upgraded, interrupted counted as
// a failure, another outcome not counted as one, stations' counts mixed.
TEST(TodayOf, CountsUpgradedAndFailedByStation) {
    const auto today = TodayOf({{"a", "upgraded", 3}, {"a", "verified", 2}, {"a", "interrupted", 4},
                                {"a", "refused the firmware", 1}, {"a", "not returned", 1},
                                {"b", "timed out or lost", 2}});
    EXPECT_EQ(today.at("a").upgraded, 5);
    EXPECT_EQ(today.at("a").failed, 2);
    EXPECT_EQ(today.at("b").upgraded, 0);
    EXPECT_EQ(today.at("b").failed, 2);
}

// Fault caught: the line's site listening beyond loopback without a token,
// past the rule the station's page keeps.
TEST(LineServer, RefusesToListenBeyondLoopbackWithoutAToken) {
    LineOptions options;
    options.db = "Driver=none;";
    options.web.address = "0.0.0.0";
    EXPECT_THROW(LineServer{options}, std::runtime_error);
}

}  // namespace
