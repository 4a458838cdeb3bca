#pragma once

#include "platform/sha256.h"

#include <optional>
#include <span>

// HMAC-SHA256 by the system's own well-kept implementation: OpenSSL's
// libcrypto on Linux, CNG on Windows. nullopt when the system cannot compute it.
std::optional<Sha256Digest> HmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> bytes);
