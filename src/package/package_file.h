#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// An open package file as the reader sees it. The platform layer provides the
// real one (opened without sharing); tests provide files that misbehave.
class PackageFile {
public:
    virtual ~PackageFile() = default;

    // Size in bytes, learned by seeking to the end; nullopt when that fails.
    virtual std::optional<std::uint64_t> Size() = 0;

    // Reads from the first byte of the file into `into`; returns how many bytes
    // arrived, which is fewer than asked when the file ends or a read fails.
    virtual std::size_t ReadFromStart(std::span<std::uint8_t> into) = 0;
};
