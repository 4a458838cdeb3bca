#pragma once

#include "device/upgrade_output.h"

#include <chrono>
#include <map>
#include <mutex>
#include <ostream>

// The upgrade for people: on a terminal, one progress bar redrawn in place at
// most ten times a second (percent, bytes, rate, time left); otherwise, and
// with several products, plain lines, each naming its product.
class TextOutput final : public UpgradeOutput {
public:
    TextOutput(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

    void Package(const PackageSummary& package) override;
    void Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) override;
    void Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) override;
    void Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) override;
    void Message(const std::string& path, const std::string& caption, const std::string& text,
                 MessageStyle style) override;
    void Result(const UpgradeEnd& end) override;
    void Summary(const std::map<Outcome, int>& outcomes, Outcome end) override;

private:
    struct Transfer {
        std::chrono::steady_clock::time_point start, lastShown;
        int lastTenth = -1;
        bool shown = false;
        std::uint64_t sent = 0, total = 0;  // the latest step, drawn or not
        bool drawn = true;
    };
    void DrawBar(Transfer& t, std::chrono::steady_clock::time_point now);
    void EndBar();
    std::string Prefix(const std::string& path) const;

    std::mutex mutex_;
    std::ostream& out_;
    bool terminal_;
    std::size_t products_ = 0;
    bool barOpen_ = false;
    Transfer* bar_ = nullptr;  // the transfer the bar shows
    std::map<std::string, Transfer> transfers_;
};
