#include "station/web/random_key.h"

#include <openssl/rand.h>

// OpenSSL's generator, seeded from getrandom(): libcrypto is linked for
// SHA-256 already, and std::random_device may take the processor's RDRAND.
bool SystemRandomBytes(std::span<std::uint8_t> bytes) {
    return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}
