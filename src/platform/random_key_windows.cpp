#include "station/web/random_key.h"

#include <windows.h>
#include <bcrypt.h>

// CNG's generator, as SHA-256 is CNG's on Windows.
bool SystemRandomBytes(std::span<std::uint8_t> bytes) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}
