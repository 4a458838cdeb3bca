#pragma once

#include "device/hid_device.h"
#include "device/outcome.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

// A product upgraded that must come back, restarted into its new firmware,
// with the USB release number expected: how it is waited for and judged.

// How a product back after its upgrade ended: Verified, or NotVerified with
// why (its release, or none told).
struct ReturnVerdict {
    Outcome outcome = Outcome::Verified;
    std::string text;  // empty when verified
};
ReturnVerdict JudgeReturn(std::optional<std::uint16_t> seen, std::uint16_t expected);
// Why a product that did not come back within `within` is NotReturned.
std::string NotReturnedText(std::chrono::milliseconds within);
// "30", "0.5": a span of seconds as the command line gives it.
std::string SecondsText(std::chrono::milliseconds span);

// The interfaces present now, each by what is new with every plug (its
// instance), else by its path.
std::set<std::string> PresentPlugs(HidSystem& hid);

// Waits up to `within` for the product known by `identity` (its serial
// number, or without one its location) to come back with the IDs at a plug
// not in `before`: a plug that goes is forgotten, so one handed out again is
// seen too. Its identity then; none when it is not back in time or `stop` is set.
std::optional<DeviceIdentity> AwaitReturn(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                          const DeviceIdentity& identity, std::set<std::string> before,
                                          std::chrono::milliseconds within, const std::atomic<bool>& stop);
