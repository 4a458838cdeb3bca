#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A product's vendor and product IDs as every output of qefftool shows them: "1d50:6001".
inline std::string ProductIdsText(std::uint16_t vendorId, std::uint16_t productId) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}
