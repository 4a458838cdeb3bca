#pragma once

#include "device/hid_device.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The line's limits, as the command line gives them.
struct StationLimits {
    std::optional<std::size_t> count;              // end once this many products were upgraded
    std::optional<std::size_t> stopAfterFailures;  // take no more after this many failures in a row
    std::optional<std::size_t> maxParallel;        // at most this many upgrades at once
    // A product without a serial number that comes back at the same location
    // this soon after its upgrade is the same product.
    std::chrono::milliseconds returnsWithin{15000};
    // A product upgraded counts once it came back this soon with this release
    // (--expect-release, --verify-within): its new firmware seen running.
    std::optional<std::uint16_t> expectRelease;
    std::chrono::milliseconds verifyWithin{30000};
};

// Why the station takes no new product.
enum class StopReason { None, Interrupted, Count, Failures, OutputFailed, RecordFailed, DbUnreachable };

// What the station does with a product that arrived.
enum class ArrivalVerdict {
    Start,     // its upgrade starts now
    Queue,     // it waits for a free place
    Returned,  // upgraded before by this station: not again
    Recorded,  // upgraded before with this package, says the record
    NotTaken,  // the station is stopping
};

// What the station decides, fed with events and their times and nothing else:
// once per product, the returns, the queue and the line's limits. Products are
// known by the station's own number for them.
class StationPolicy {
public:
    using Time = std::chrono::steady_clock::time_point;

    // `recorded`: serial numbers the record tells were upgraded with this
    // package, skipped when not empty.
    explicit StationPolicy(StationLimits limits, std::set<std::string> recorded = {});

    // `stillPresent`: the products finished before that are still plugged in
    // (another with the serial number of one of them is its twin, not it back).
    ArrivalVerdict Arrive(std::size_t id, const DeviceIdentity& identity, Time at,
                          const std::set<std::size_t>& stillPresent = {});
    // The next queued product whose turn it is, taken off the queue; none
    // while the station stops.
    std::optional<std::size_t> NextFromQueue();
    // The upgrade of a product taken (Start, or from the queue) begins: how
    // many tries this product has had, this one included.
    int Begin(std::size_t id);
    // With an expected release, one upgraded is awaited until it comes back
    // or its time is up, and counted then.
    void Finish(std::size_t id, bool upgraded, Time at);
    // The product awaited that a product arriving with `identity` is, back:
    // by its serial number, or without one at its location, in time; never
    // one of those `stillPresent`.
    std::optional<std::size_t> Awaited(const DeviceIdentity& identity, Time at,
                                       const std::set<std::size_t>& stillPresent = {}) const;
    // Its verification ended: counted as upgraded, or as a failure (and then
    // upgraded again when plugged in again).
    void Verified(std::size_t id, bool verified);
    // The products awaited whose time is up at `now`.
    std::vector<std::size_t> Overdue(Time now) const;
    std::size_t Verifying() const { return awaited_.size(); }
    // A queued product that left, one dropped as the station stops, or one
    // taken and let go before it began (the factory's database told why).
    void Leave(std::size_t id);
    // The first reason given is the one kept.
    void Stop(StopReason reason);
    // While paused, products that arrive wait in the queue and none is taken
    // from it; the running ones go on.
    void Pause(bool paused) { paused_ = paused; }
    bool Paused() const { return paused_; }

    StopReason Stopping() const { return stopping_; }
    const StationLimits& Limits() const { return limits_; }
    bool DuplicateSerial(std::size_t id) const { return duplicates_.count(id) != 0; }
    std::size_t Running() const { return running_; }
    std::size_t Upgraded() const { return upgraded_; }
    std::size_t FailuresInARow() const { return failuresInARow_; }
    const std::deque<std::size_t>& Queue() const { return queue_; }

private:
    static std::string Key(const DeviceIdentity& identity);
    void Count(bool upgraded);

    struct Awaiting {
        DeviceIdentity identity;
        Time until;
    };

    StationLimits limits_;
    std::set<std::string> recorded_;
    std::map<std::size_t, DeviceIdentity> present_;  // taken and not finished: running or queued
    std::deque<std::size_t> queue_;
    std::set<std::size_t> duplicates_;
    std::map<std::string, std::size_t> upgradedBy_;  // serial number: the product upgraded with it
    std::map<std::string, Time> upgradedAt_;  // by location, for products without a serial number
    std::map<std::string, int> tries_;        // by serial number, or by location without one
    std::map<std::size_t, Awaiting> awaited_;  // upgraded, to come back with the release expected
    std::size_t running_ = 0, upgraded_ = 0, failuresInARow_ = 0;
    StopReason stopping_ = StopReason::None;
    bool paused_ = false;
};
