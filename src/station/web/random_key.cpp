#include "station/web/random_key.h"

#include <array>
#include <stdexcept>

std::string RandomKey() {
    std::array<std::uint8_t, 32> bytes{};
    if (!SystemRandomBytes(bytes))
        throw std::runtime_error("the system gave no random numbers for the page's session");
    constexpr char digits[] = "0123456789abcdef";
    std::string key;
    for (const std::uint8_t byte : bytes) {
        key += digits[byte >> 4];
        key += digits[byte & 0x0f];
    }
    return key;
}
