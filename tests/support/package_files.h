#pragma once

#include "package_writer.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A folder of its own under the system's temporary folder, removed afterwards.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);

// A payload whose bytes tell their position apart (never all equal).
std::vector<std::uint8_t> CountingPayload(std::size_t size);

// A typical package for tests to vary.
PackageContents SamplePackage();
