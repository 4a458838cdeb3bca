#pragma once

#include "qefftool/upgrade_output.h"

#include <chrono>
#include <map>
#include <mutex>
#include <ostream>

// The upgrade for scripts and test stations: one JSON object per line, each
// with an "event" of package, found, plan, progress (at most ten a second per
// product, and the last), message, result or summary.
class JsonOutput final : public UpgradeOutput {
public:
    explicit JsonOutput(std::ostream& out) : out_(out) {}

    void Package(const PackageSummary& package) override;
    void Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) override;
    void Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) override;
    void Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) override;
    void Message(const std::string& path, const std::string& caption, const std::string& text,
                 MessageStyle style) override;
    void Result(const std::string& path, int exitCode) override;
    void Summary(std::size_t products, std::size_t succeeded, int exitCode) override;

private:
    template <class Json>
    void Line(const Json& object);

    std::mutex mutex_;
    std::ostream& out_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastProgress_;
};
