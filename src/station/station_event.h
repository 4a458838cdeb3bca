#pragma once

#include "device/hid_device.h"
#include "device/message_display.h"
#include "package/checked_package.h"
#include "device/outcome.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// What the station knows of one product, as its events carry it.
struct StationProduct {
    std::size_t id = 0;  // the station's own number for it
    std::string path;
    DeviceIdentity identity;
    int attempt = 0;  // the station's count of upgrades started when this one started (0: not started)
    int tries = 0;    // this product's own, across its returns and replugs
    bool duplicateSerial = false;
    std::chrono::system_clock::time_point startedAt, endedAt;  // endedAt: startedAt and the steady clock's time since
    std::chrono::steady_clock::time_point began;  // when its upgrade started, by a clock no one sets
    Outcome outcome = Outcome::Upgraded;  // how its upgrade ended (Done)
    std::optional<std::uint32_t> ackCode;  // the product's refusal
    std::uint64_t bytesSent = 0;
    std::string message;  // the last message told of it
    // With an expected release: whether it came back running it (none while
    // awaited, or when it did not come back), and the release it came back with.
    std::optional<bool> verified;
    std::optional<std::uint16_t> releaseAfter;
};

// The station's own state, as its model keeps it.
enum class StationState { Starting, Watching, Paused, Stopping, Stopped };
const char* StationStateName(StationState state);  // "starting" "watching" "paused" "stopping" "stopped"

// One thing that happened at the station, with what the model knew then:
// every output (text lines, JSON lines, the record) is written from these.
struct StationEvent {
    enum class Kind {
        Package, Watching, Denied, Arrived, Queued, Returned, Recorded, NotTaken, Left,
        Started, Progress, Message, Stopping, Done, Summary, Serving, Paused, Resumed,
        Verifying,  // upgraded, and awaited back with the release expected
        RecordDb,  // the feed of the factory's database: its state and the record lines waiting
        Claimed,   // another station holds the product's claim in the factory's database: `text` names it
    };
    Kind kind = Kind::Message;
    std::chrono::system_clock::time_point time;
    StationProduct product;          // for the events of one product
    PackageSummary package;          // Package, Watching, Summary
    int percent = 0;                 // Progress
    std::uint64_t sent = 0, total = 0;  // Progress: the payload's bytes sent, of all
    std::string caption, text;       // Message; Stopping, Denied and Verifying: the text; Serving: the page's
                                     // address, and its one-time link in `caption`
    MessageStyle style = MessageStyle::Plain;  // Message: the style the transfer gave it
    std::map<Outcome, int> outcomes; // Summary: how many products ended with each outcome
    Outcome end = Outcome::Upgraded; // Summary: how the run ended, the worst of all
    std::uint16_t vendorId = 0, productId = 0;
    StationState state = StationState::Starting;  // the station's, once this happened
    std::string by;  // Paused, Resumed, Stopping: who asked ("a signal", "the page from 127.0.0.1"); empty: the station itself
    // RecordDb: its state in `text`, the last failure in `caption`; Summary: as the feed last told it.
    std::optional<std::uint64_t> recordDbWaiting;
};

// `time` in UTC as ISO 8601 with milliseconds: 2026-12-09T13:45:07.123Z.
std::string IsoUtc(std::chrono::system_clock::time_point time);
