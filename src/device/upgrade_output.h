#pragma once

#include "device/firmware_transfer.h"
#include "device/hid_device.h"
#include "device/message_display.h"
#include "package/checked_package.h"
#include "device/outcome.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// How one product's upgrade ended: what its `result` and `done` lines tell.
struct UpgradeEnd {
    std::string path;  // empty when the run ended before any product
    DeviceIdentity identity;
    Outcome outcome = Outcome::Failed;
    std::chrono::milliseconds took{0};  // the transfer's time; 0 where none ran
    std::uint64_t bytesSent = 0;
    std::optional<std::uint32_t> ackCode = std::nullopt;  // the product's refusal
    // With an expected release: whether it came back running it, and the release it came back with.
    std::optional<bool> verified = std::nullopt;
    std::optional<std::uint16_t> releaseAfter = std::nullopt;
};

// Where an upgrade tells what happens: a terminal, plain lines or JSON lines.
// Calls for different products may come from different threads at once.
class UpgradeOutput {
public:
    virtual ~UpgradeOutput() = default;
    virtual void Package(const PackageSummary& package) = 0;
    virtual void Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) = 0;
    virtual void Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) = 0;
    virtual void Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) = 0;
    // `path` is empty for what concerns no one product (the package, the search).
    virtual void Message(const std::string& path, const std::string& caption, const std::string& text,
                         MessageStyle style) = 0;
    virtual void Result(const UpgradeEnd& end) = 0;
    // How many products ended each way, and how the run ended (the worst).
    virtual void Summary(const std::map<Outcome, int>& outcomes, Outcome end) = 0;
};
