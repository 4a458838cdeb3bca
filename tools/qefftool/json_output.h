#pragma once

#include "device/upgrade_output.h"

#include <chrono>
#include <map>
#include <mutex>
#include <ostream>

// The upgrade for scripts and test stations: one JSON object per line, each
// with an "event" of package, found, plan, progress (at most ten a second per
// product, and the last), message, result, done or summary. package, message,
// done and summary are written as `watch --json` writes them.
class JsonOutput final : public UpgradeOutput {
public:
    explicit JsonOutput(std::ostream& out) : out_(out) {}

    void Package(const PackageSummary& package) override;
    void Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) override;
    void Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) override;
    void Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) override;
    void Message(const std::string& path, const std::string& caption, const std::string& text,
                 MessageStyle style) override;
    void Result(const UpgradeEnd& end) override;
    void Summary(const std::map<Outcome, int>& outcomes, Outcome end) override;

private:
    void Write(const std::string& line);

    std::mutex mutex_;
    std::ostream& out_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastProgress_;
};
