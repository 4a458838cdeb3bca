#pragma once

#include "platform/sha256.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a package is for, as the command line and the station tell it.
struct PackageSummary {
    std::string path;
    std::string productName, productCode, firmwareCode;  // UTF-8
    std::uint16_t vendorId = 0, productId = 0;
    std::uint32_t blockLength = 0;
    std::uint64_t payloadSize = 0;
    std::string sha256;  // of the whole file, in hexadecimal
    std::string signer;  // the publisher whose signature was verified against the trust given; empty without
};

// A package checked as the window checks it, held in memory so that every
// product gets the same bytes and the file is not held meanwhile.
struct CheckedPackage {
    std::vector<std::uint8_t> bytes;
    PackageSummary summary;
    Sha256Digest digest{};
};
// The package at `path`, or empty with `why` telling why it cannot be used.
std::optional<CheckedPackage> CheckPackage(const std::string& path, std::string& why);
// Why a package pinned by `pin` is refused, if it is.
std::optional<std::string> PinRefusal(const CheckedPackage& package, const std::optional<Sha256Digest>& pin);
