#pragma once

#include "device/hid_device.h"
#include "device/message_display.h"
#include "upgrade_output.h"

#include <chrono>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

// What the station tells, one line an event, as plain text or as JSON lines.
// Calls for different products come from different threads at once.
class StationOutput {
public:
    StationOutput(std::ostream& out, bool json) : out_(out), json_(json) {}

    void Package(const PackageSummary& package);
    void Watching(std::uint16_t vendorId, std::uint16_t productId);
    void Arrived(const std::string& path, const DeviceIdentity& identity);
    void Progress(const std::string& path, int percent);  // every tenth
    void Message(const std::string& path, const std::string& caption, const std::string& text);
    void Done(const std::string& path, const DeviceIdentity& identity, int exitCode, std::chrono::milliseconds took);
    // How many products ended with each exit code, and the command's.
    void Summary(const std::map<int, int>& outcomes, int exitCode);

private:
    std::string Named(const std::string& path, const DeviceIdentity& identity) const;

    std::mutex mutex_;
    std::ostream& out_;
    bool json_;
};
