#include "platform/sha256.h"

#include <limits>

#include <windows.h>
#include <bcrypt.h>

std::optional<Sha256Digest> Sha256(std::span<const std::uint8_t> bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return std::nullopt;
    Sha256Digest digest{};
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes at most 4 GiB a call.
    for (std::span<const std::uint8_t> rest = bytes; ok && !rest.empty();) {
        const std::size_t n = std::min<std::size_t>(rest.size(), std::numeric_limits<ULONG>::max());
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(rest.data()), static_cast<ULONG>(n), 0));
        rest = rest.subspan(n);
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok)
        return std::nullopt;
    return digest;
}
