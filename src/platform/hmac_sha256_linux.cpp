#include "platform/hmac_sha256.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <limits>

std::optional<Sha256Digest> HmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> bytes) {
    if (key.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    Sha256Digest mac{};
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes.data(), bytes.size(), mac.data(),
              &length) ||
        length != mac.size())
        return std::nullopt;
    return mac;
}
