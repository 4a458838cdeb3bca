#pragma once

#include "device/firmware_transfer.h"
#include "device/hid_device.h"
#include "device/message_display.h"
#include "package/checked_package.h"

#include <cstdint>
#include <string>

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
    virtual void Result(const std::string& path, int exitCode) = 0;
    virtual void Summary(std::size_t products, std::size_t succeeded, int exitCode) = 0;
};
