#pragma once

#include <cstdint>

// USB IDs of the last accepted package. Written only when a package is
// accepted; the device search compares attached products against them.
extern std::uint16_t PackageVendorId;
extern std::uint16_t PackageProductId;
