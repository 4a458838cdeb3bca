// The station's decisions, fed with events and their times, without threads.

#include "station/station_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// One event: a product arriving (+), beginning its upgrade (b), finishing (=
// upgraded, ! failed), leaving the queue (-), the station asking its queue
// for the next (n), pausing (p) or resuming (r); with a release expected, its
// verification ending (y verified, x not), the products overdue asked for (o).
struct Step {
    char what;
    std::size_t id = 0;
    const char* serial = "";
    const char* location = "";
    int second = 0;
    int present = -1;  // (+) a product finished before that is still plugged in
};

struct Row {
    const char* name;
    StationLimits limits;
    std::set<std::string> recorded;
    std::vector<Step> steps;
    // What the policy said, one mark a step: S start, Q queue, R returned,
    // C recorded, N not taken, V and the id of the product awaited it is back
    // as; b: the tries; n: the id taken, or '-'; o: the ids overdue, or '-'; then
    // '|', the stop reason and the products flagged as twins.
    const char* told;
};

StationLimits Limits(std::optional<std::size_t> count, std::optional<std::size_t> failures,
                     std::optional<std::size_t> parallel) {
    StationLimits limits;
    limits.count = count;
    limits.stopAfterFailures = failures;
    limits.maxParallel = parallel;
    return limits;
}

// The limits with a release expected back within 30 s.
StationLimits Expecting(StationLimits limits) {
    limits.expectRelease = 0x0241;
    limits.verifyWithin = 30s;
    return limits;
}

// Faults caught: a product upgraded again after it came back (by its serial
// number, or without one at its location within --returns-within) or a
// failed one not taken again; twins (present at once, or one plugged in while
// the other, upgraded, is still there) not both taken or not both flagged; a
// recorded product upgraded; --count counting a failure or a return; the line
// not stopping after N failures in a row (or after N failures not in a row);
// more than --max-parallel at once, the queue out of order, a product that
// left still taken from the queue, anything taken once the station stops;
// the tries of a product not counted across its replugs.
TEST(StationPolicy, DecidesOncePerProductReturnsAndTheLinesLimits) {
    const StationLimits none;
    const std::vector<Row> rows = {
        {"a product upgraded comes back by its serial number", none, {},
         {{'+', 0, "S1", "p1"}, {'=', 0}, {'+', 1, "S1", "p2", 60}}, "SR|0"},
        {"a failed one is taken again, its tries counted", none, {},
         {{'+', 0, "S1", "p1"}, {'b', 0}, {'!', 0}, {'+', 1, "S1", "p1"}, {'b', 1}}, "S1S2|0"},
        {"without a serial number: back at its location within the time, then not", none, {},
         {{'+', 0, "", "p1"}, {'=', 0, "", "", 10}, {'+', 1, "", "p1", 25}, {'+', 2, "", "p1", 26}}, "SRS|0"},
        {"without a serial number: another location is another product", none, {},
         {{'+', 0, "", "p1"}, {'=', 0}, {'+', 1, "", "p2", 1}}, "SS|0"},
        {"twins present at once are both taken and flagged", none, {},
         {{'+', 0, "S1", "p1"}, {'+', 1, "S1", "p2"}, {'+', 2, "S2", "p3"}}, "SSS|0 0 1"},
        {"a twin plugged in while the one upgraded is still there is no return", none, {},
         {{'+', 0, "S1", "p1"}, {'=', 0}, {'+', 1, "S1", "p2", 5, 0}}, "SS|0 0 1"},
        // Fault caught: a twin that restarts after its upgrade while the other
        // is still upgrading taken for a twin again, and upgraded again, for
        // as long as their upgrades overlap.
        {"twins: one back after its upgrade while the other runs is a return", none, {},
         {{'+', 0, "S1", "p1"}, {'+', 1, "S1", "p2"}, {'=', 0}, {'+', 2, "S1", "p1", 5}}, "SSR|0 0 1"},
        {"the record's serial numbers are skipped", none, {"S1"},
         {{'+', 0, "S1", "p1"}, {'+', 1, "S2", "p2"}}, "CS|0"},
        {"the count: upgrades only", Limits(2, {}, {}), {},
         {{'+', 0, "S1"}, {'!', 0}, {'+', 1, "S2"}, {'=', 1}, {'+', 2, "S2"}, {'+', 3, "S3"}, {'=', 3},
          {'+', 4, "S4"}},
         "SSRSN|2"},
        {"failures in a row stop the line", Limits({}, 2, {}), {},
         {{'+', 0, "S1"}, {'!', 0}, {'+', 1, "S2"}, {'=', 1}, {'+', 2, "S3"}, {'!', 2}, {'+', 3, "S4"}, {'!', 3},
          {'+', 4, "S5"}},
         "SSSSN|3"},
        {"the queue: in turn, without the one that left", Limits({}, {}, 1), {},
         {{'+', 0, "S1"}, {'+', 1, "S2"}, {'+', 2, "S3"}, {'n'}, {'-', 1}, {'=', 0}, {'n'}, {'n'}}, "SQQ-2-|0"},
        {"nothing from the queue once the line stops", Limits({}, 1, 1), {},
         {{'+', 0, "S1"}, {'+', 1, "S2"}, {'!', 0}, {'n'}}, "SQ-|3"},
        // Fault caught: a product that arrives while the line is paused
        // started, or one taken from the queue before the line resumes.
        {"paused: arrivals wait, the running one goes on, resume takes them in turn", none, {},
         {{'+', 0, "S1"}, {'p'}, {'+', 1, "S2"}, {'+', 2, "S3"}, {'=', 0}, {'n'}, {'r'}, {'n'}, {'n'}}, "SQQ-12|0"},
        // Faults caught: a product counted when its transfer ended rather than
        // once it came back running the release expected; one back not known
        // as the one awaited (it would be upgraded again, or told a twin).
        {"a release expected: counted once back, by its serial number", Expecting(Limits(1, {}, {})), {},
         {{'+', 0, "S1", "p1"}, {'=', 0}, {'+', 1, "S2", "p2", 2}, {'+', 2, "S1", "p1", 5}, {'y', 0},
          {'+', 3, "S3", "p3", 6}},
         "SSV0N|2"},
        // Faults caught: a product never back not ended when its time is up,
        // or ended early; not counted among the failures in a row.
        {"a release expected: not back in time is a failure in a row", Expecting(Limits({}, 2, {})), {},
         {{'+', 0, "S1"}, {'=', 0}, {'o', 0, "", "", 30}, {'o', 0, "", "", 31}, {'x', 0}, {'+', 1, "S2", "", 32},
          {'!', 1}, {'+', 2, "S3", "", 33}},
         "S-0SN|3"},
        // Fault caught: without a serial number, one still plugged in at
        // another place, or at its own, taken for it back.
        {"a release expected: without a serial number, back at its location", Expecting(none), {},
         {{'+', 0, "", "p1"}, {'=', 0}, {'+', 1, "", "p2", 1}, {'+', 2, "", "p1", 2, 0}, {'+', 3, "", "p1", 3}},
         "SSRV0|0"},
        // Fault caught: one back with another release kept as upgraded: plugged in again it would never be upgraded.
        {"a release expected: back with another is upgraded again when plugged in again", Expecting(none), {},
         {{'+', 0, "S1", "p1"}, {'=', 0}, {'+', 1, "S1", "p1", 1}, {'x', 0}, {'+', 2, "S1", "p1", 5}}, "SV0S|0"},
    };
    for (const Row& row : rows) {
        StationPolicy policy(row.limits, row.recorded);
        const auto start = std::chrono::steady_clock::time_point{} + 1000s;
        std::string told;
        std::set<std::size_t> ids;
        for (const Step& step : row.steps) {
            const auto at = start + std::chrono::seconds(step.second);
            switch (step.what) {
            case '+': {
                ids.insert(step.id);
                const DeviceIdentity identity{step.serial, step.location, std::nullopt};
                std::set<std::size_t> stillPresent;
                if (step.present >= 0)
                    stillPresent.insert(static_cast<std::size_t>(step.present));
                if (const auto awaited = policy.Awaited(identity, at, stillPresent)) {
                    told += "V" + std::to_string(*awaited);
                    break;
                }
                told += "SQRCN"[static_cast<int>(policy.Arrive(step.id, identity, at, stillPresent))];
                break;
            }
            case 'b': told += std::to_string(policy.Begin(step.id)); break;
            case '=': policy.Finish(step.id, true, at); break;
            case '!': policy.Finish(step.id, false, at); break;
            case '-': policy.Leave(step.id); break;
            case 'y': policy.Verified(step.id, true); break;
            case 'x': policy.Verified(step.id, false); break;
            case 'o': {
                std::string overdue;
                for (const std::size_t id : policy.Overdue(at))
                    overdue += std::to_string(id);
                told += overdue.empty() ? "-" : overdue;
                break;
            }
            case 'p': policy.Pause(true); break;
            case 'r': policy.Pause(false); break;
            case 'n': {
                const auto next = policy.NextFromQueue();
                told += next ? std::to_string(*next) : "-";
                break;
            }
            }
        }
        told += "|" + std::to_string(static_cast<int>(policy.Stopping()));
        for (const std::size_t id : ids)
            if (policy.DuplicateSerial(id))
                told += " " + std::to_string(id);
        EXPECT_EQ(told, row.told) << row.name;
        EXPECT_LE(policy.Running(), row.limits.maxParallel.value_or(SIZE_MAX)) << row.name;
    }
}

}  // namespace
