#include "station/station_policy.h"

#include <algorithm>

StationPolicy::StationPolicy(StationLimits limits, std::set<std::string> recorded)
    : limits_(limits), recorded_(std::move(recorded)) {}

std::string StationPolicy::Key(const DeviceIdentity& identity) {
    return identity.serial.empty() ? "at " + identity.location : "serial " + identity.serial;
}

ArrivalVerdict StationPolicy::Arrive(std::size_t id, const DeviceIdentity& identity, Time at,
                                     const std::set<std::size_t>& stillPresent) {
    if (stopping_ != StopReason::None)
        return ArrivalVerdict::NotTaken;
    const std::string& serial = identity.serial;
    const auto upgraded = serial.empty() ? upgradedBy_.end() : upgradedBy_.find(serial);
    // One upgraded that is no longer plugged in has come back, even while
    // another with its serial number is being upgraded: taken for a twin, it
    // would be upgraded again, and again, for as long as their upgrades overlap.
    if (upgraded != upgradedBy_.end() && !stillPresent.count(upgraded->second))
        return ArrivalVerdict::Returned;
    bool twin = false;
    if (!serial.empty())
        for (const auto& [other, seen] : present_)
            if (seen.serial == serial) {  // two at once with one serial number: both are upgraded, both told
                duplicates_.insert(other);
                twin = true;
            }
    if (!twin && upgraded != upgradedBy_.end() && stillPresent.count(upgraded->second)) {
        duplicates_.insert(upgraded->second);  // upgraded and still plugged in: this is another
        twin = true;
    }
    if (twin) {
        duplicates_.insert(id);
    } else if (!serial.empty()) {
        if (upgraded != upgradedBy_.end())
            return ArrivalVerdict::Returned;
        if (recorded_.count(serial))
            return ArrivalVerdict::Recorded;
    } else if (!identity.location.empty()) {
        const auto it = upgradedAt_.find(identity.location);
        if (it != upgradedAt_.end() && at - it->second <= limits_.returnsWithin)
            return ArrivalVerdict::Returned;
    }
    present_[id] = identity;
    if (paused_ || (limits_.maxParallel && running_ >= *limits_.maxParallel)) {
        queue_.push_back(id);
        return ArrivalVerdict::Queue;
    }
    ++running_;
    return ArrivalVerdict::Start;
}

std::optional<std::size_t> StationPolicy::NextFromQueue() {
    if (stopping_ != StopReason::None || paused_ || queue_.empty() || (limits_.maxParallel && running_ >= *limits_.maxParallel))
        return std::nullopt;
    const std::size_t id = queue_.front();
    queue_.pop_front();
    ++running_;
    return id;
}

int StationPolicy::Begin(std::size_t id) {
    const auto it = present_.find(id);
    return it == present_.end() ? 0 : ++tries_[Key(it->second)];
}

void StationPolicy::Finish(std::size_t id, bool upgraded, Time at) {
    const auto it = present_.find(id);
    if (it == present_.end())
        return;
    if (running_ > 0)
        --running_;
    if (upgraded) {
        if (!it->second.serial.empty())
            upgradedBy_[it->second.serial] = id;
        else if (!it->second.location.empty())
            upgradedAt_[it->second.location] = at;
    }
    if (upgraded && limits_.expectRelease)
        awaited_[id] = {it->second, at + limits_.verifyWithin};
    else
        Count(upgraded);
    present_.erase(it);
}

void StationPolicy::Count(bool upgraded) {
    if (upgraded) {
        ++upgraded_;
        failuresInARow_ = 0;
        if (limits_.count && upgraded_ >= *limits_.count)
            Stop(StopReason::Count);
    } else if (++failuresInARow_, limits_.stopAfterFailures && failuresInARow_ >= *limits_.stopAfterFailures) {
        Stop(StopReason::Failures);
    }
}

std::optional<std::size_t> StationPolicy::Awaited(const DeviceIdentity& identity, Time at,
                                                  const std::set<std::size_t>& stillPresent) const {
    for (const auto& [id, awaiting] : awaited_) {
        if (stillPresent.count(id) || at > awaiting.until)
            continue;
        const DeviceIdentity& was = awaiting.identity;
        if (was.serial.empty() ? !was.location.empty() && was.location == identity.location
                               : was.serial == identity.serial)
            return id;
    }
    return std::nullopt;
}

void StationPolicy::Verified(std::size_t id, bool verified) {
    const auto it = awaited_.find(id);
    if (it == awaited_.end())
        return;
    if (!verified) {  // a failure: plugged in again, it is upgraded again
        const DeviceIdentity& was = it->second.identity;
        if (const auto by = upgradedBy_.find(was.serial); by != upgradedBy_.end() && by->second == id)
            upgradedBy_.erase(by);
        else if (was.serial.empty())
            upgradedAt_.erase(was.location);
    }
    awaited_.erase(it);
    Count(verified);
}

std::vector<std::size_t> StationPolicy::Overdue(Time now) const {
    std::vector<std::size_t> overdue;
    for (const auto& [id, awaiting] : awaited_)
        if (now > awaiting.until)
            overdue.push_back(id);
    return overdue;
}

void StationPolicy::Leave(std::size_t id) {
    const auto queued = std::find(queue_.begin(), queue_.end(), id);
    if (queued != queue_.end())
        queue_.erase(queued);
    else if (present_.count(id) && running_ > 0)
        --running_;  // taken to start, let go before it began
    present_.erase(id);
}

void StationPolicy::Stop(StopReason reason) {
    if (stopping_ == StopReason::None)
        stopping_ = reason;
}
