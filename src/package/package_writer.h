#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Everything a .qeff package carries. Texts are 8-bit ANSI bytes.
struct PackageContents {
    std::uint32_t blockLength = 4096;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string productName;
    std::string productCode;
    std::string notes;
    std::string firmwareCode;
    std::vector<std::uint8_t> firmware;
};

struct PackageTooLong : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The package's bytes: the 4411-byte header, then the firmware image. A text
// too long to keep its terminating zero inside its field is refused.
std::vector<std::uint8_t> BuildPackage(const PackageContents& contents);
