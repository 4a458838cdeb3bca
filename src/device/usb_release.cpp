#include "device/usb_release.h"

#include <cctype>
#include <cstdio>

std::string ReleaseText(std::uint16_t release) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", static_cast<unsigned>(release >> 8),
                  static_cast<unsigned>(release & 0xFFu));
    return text;
}

std::optional<std::uint16_t> ParseRelease(const std::string& text) {
    unsigned value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 6)
            return std::nullopt;
        for (std::size_t i = 2; i < text.size(); ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        return static_cast<std::uint16_t>(value);
    }
    // One or two digits, a dot, and always two more: "2.4" could mean 2.04 or
    // 2.40. Each digit is a nibble, as lsusb prints them: a release that is
    // no BCD (0x010a) shows, and is given, as 1.0a.
    const auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 2 || text.size() != dot + 3)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == dot)
            continue;
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> ReleaseInHardwareId(const std::string& id) {
    std::string upper = id;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("USB\\VID_", 0) != 0 && upper.rfind("HID\\VID_", 0) != 0)
        return std::nullopt;
    const auto at = upper.find("&REV_");
    if (at == std::string::npos || upper.size() < at + 9)
        return std::nullopt;
    const std::string digits = upper.substr(at + 5, 4);
    if (upper.size() > at + 9 && upper[at + 9] != '&')
        return std::nullopt;
    return ParseRelease("0x" + digits);
}
