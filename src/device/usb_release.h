#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A product's USB release number (bcdDevice) as people write it: as lsusb
// shows it, "2.41" (BCD digits: 0x0241), or as the descriptor holds it, "0x0241".

// "2.41" for 0x0241.
std::string ReleaseText(std::uint16_t release);
// The release number `text` gives, or none when it is neither form.
std::optional<std::uint16_t> ParseRelease(const std::string& text);
// The release number a Windows hardware ID of a USB product tells
// ("USB\\VID_1D50&PID_6018&REV_0241", "HID\\VID_1D50&PID_6018&REV_0241&MI_00");
// none for another ID (a Bluetooth product's) or one without it.
std::optional<std::uint16_t> ReleaseInHardwareId(const std::string& id);
