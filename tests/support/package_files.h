#pragma once

#include "package/package_writer.h"
#include "simulated/simulated_hid.h"
#include "simulated/simulated_product.h"

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

// A path as the program holds file names: UTF-8.
inline std::string Utf8(const std::filesystem::path& path) {
    const auto s = path.u8string();
    return {s.begin(), s.end()};
}

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);

// A payload whose bytes tell their position apart (never all equal).
std::vector<std::uint8_t> CountingPayload(std::size_t size);

// Signs the package at `file` as its publisher would, with the openssl command
// (Linux): a new certificate for `subject` and its key beside it.
// Returns the certificate, for --trust; empty when openssl failed.
std::string SignedWithOpenssl(const std::filesystem::path& file, const std::string& subject = "/CN=Publisher");

// A typical package for tests to vary.
PackageContents SamplePackage();

// A product that takes `package`: its block length and payload size, with
// reports of the given lengths (each counting the report-ID byte).
// The product for `package` as an interface of the simulated HID system, with its IDs.
SimulatedInterface ProductInterface(const PackageContents& package, std::size_t outputLength = 65,
                                    std::size_t inputLength = 65, std::vector<BlockAnswer> answers = {});

ProductConfig ProductFor(const PackageContents& package, std::size_t outputLength = 65, std::size_t inputLength = 65,
                         std::vector<BlockAnswer> answers = {});

// The sample package with `firmwareSize` bytes of firmware sent in blocks of
// `blockLength`, written as p.qeff to a folder of its own.
struct PackageOnDisk {
    explicit PackageOnDisk(std::size_t firmwareSize = 5000, std::uint32_t blockLength = 1024);
    void Write() const;  // again, after a change to `contents`

    TempFolder folder;
    PackageContents contents = SamplePackage();
    std::string path = Utf8(folder / "p.qeff");
};
