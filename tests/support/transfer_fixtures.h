#pragma once

#include "device/transfer_view.h"
#include "package/package_file.h"
#include "simulated/simulated_hid.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A package held in memory, with a size it may lie about and a read that may stop early.
class MemoryPackage final : public PackageFile {
public:
    explicit MemoryPackage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::optional<std::uint64_t> claimedSize;  // what Size() says instead of the truth
    bool sizeUnknown = false;
    std::optional<std::size_t> deliversAtMost;

    std::optional<std::uint64_t> Size() override {
        if (sizeUnknown)
            return std::nullopt;
        return claimedSize ? *claimedSize : bytes_.size();
    }
    std::size_t ReadFromStart(std::span<std::uint8_t> into) override {
        std::size_t n = std::min(into.size(), bytes_.size());
        if (deliversAtMost)
            n = std::min(n, *deliversAtMost);
        std::copy_n(bytes_.begin(), n, into.begin());
        return n;
    }

private:
    std::vector<std::uint8_t> bytes_;
};

// Records what the transfer does to the window, in order.
class RecordingView final : public TransferView {
public:
    std::vector<int> gauge;
    std::vector<std::string> messages;  // "caption|text|style"
    int eventRounds = 0;

    void SetGauge(int percent) override { gauge.push_back(percent); }
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        messages.push_back(caption + "|" + text + "|" + std::to_string(static_cast<int>(style)));
    }
    void ProcessPendingEvents() override { ++eventRounds; }
};

inline std::string Msg(const std::string& caption, const std::string& text, MessageStyle style = MessageStyle::Plain) {
    return caption + "|" + text + "|" + std::to_string(static_cast<int>(style));
}

inline const std::string kSuccess = Msg("OK", "Firmware upgraded successfully");
inline const std::string kTimeout = Msg("Error", "Timeout error, try upgrade one more time.", MessageStyle::Exclamation);
