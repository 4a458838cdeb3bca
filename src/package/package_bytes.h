#pragma once

#include "package/package_file.h"

#include <algorithm>

// A package already in memory, read as if it were a file. The bytes must
// outlive it.
class PackageBytes final : public PackageFile {
public:
    explicit PackageBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::optional<std::uint64_t> Size() override { return bytes_.size(); }
    std::size_t ReadFromStart(std::span<std::uint8_t> into) override {
        const std::size_t n = std::min(into.size(), bytes_.size());
        std::copy_n(bytes_.begin(), n, into.begin());
        return n;
    }

private:
    std::span<const std::uint8_t> bytes_;
};
