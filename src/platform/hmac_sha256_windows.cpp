#include "platform/hmac_sha256.h"

#include <limits>

#include <windows.h>
#include <bcrypt.h>

std::optional<Sha256Digest> HmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> bytes) {
    if (key.size() > std::numeric_limits<ULONG>::max())
        return std::nullopt;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return std::nullopt;
    Sha256Digest mac{};
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, const_cast<PUCHAR>(key.data()),
                                              static_cast<ULONG>(key.size()), 0));
    // BCryptHashData takes at most 4 GiB a call.
    for (std::span<const std::uint8_t> rest = bytes; ok && !rest.empty();) {
        const std::size_t n = std::min<std::size_t>(rest.size(), std::numeric_limits<ULONG>::max());
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(rest.data()), static_cast<ULONG>(n), 0));
        rest = rest.subspan(n);
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, mac.data(), static_cast<ULONG>(mac.size()), 0));
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok)
        return std::nullopt;
    return mac;
}
