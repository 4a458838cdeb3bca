#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// SHA-256 by the system's own well-kept implementation: OpenSSL's libcrypto on
// Linux, CNG on Windows. nullopt when the system cannot compute it.
using Sha256Digest = std::array<std::uint8_t, 32>;
std::optional<Sha256Digest> Sha256(std::span<const std::uint8_t> bytes);

// The digest as 64 lower-case hexadecimal digits, and back (either case;
// nullopt for anything else).
std::string Sha256Hex(const Sha256Digest& digest);
std::optional<Sha256Digest> ParseSha256Hex(std::string_view hex);
