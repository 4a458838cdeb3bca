#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Random bytes from the system's own generator, for the session's cookie and
// the one-time key; false when the system gives none.
bool SystemRandomBytes(std::span<std::uint8_t> bytes);

// 32 such bytes in hexadecimal; throws std::runtime_error when there are none.
std::string RandomKey();
