#include "package/package_ids.h"

std::uint16_t PackageVendorId = 0;
std::uint16_t PackageProductId = 0;
