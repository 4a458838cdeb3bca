#include "support/package_files.h"

#include "simulated/simulated_hid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

TempFolder::TempFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("qeff-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.flush()) << file;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::uint8_t> CountingPayload(std::size_t size) {
    std::vector<std::uint8_t> payload(size);
    for (std::size_t i = 0; i < size; ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7 + 1 + i / 256);
    return payload;
}

PackageContents SamplePackage() {
    PackageContents c;
    c.blockLength = 64;
    c.vendorId = 0x1D50;
    c.productId = 0x6018;
    c.productName = "Quorvella Sensor Hub";
    c.productCode = "QSH-200";
    c.notes = "Read before upgrading.\r\nKeep the product plugged in.";
    c.firmwareCode = "FW-2.4.1";
    c.firmware = CountingPayload(300);
    return c;
}

ProductConfig ProductFor(const PackageContents& package, std::size_t outputLength, std::size_t inputLength,
                         std::vector<BlockAnswer> answers) {
    ProductConfig p;
    p.outputReportLength = outputLength;
    p.inputReportLength = inputLength;
    p.blockLength = package.blockLength;
    p.payloadSize = package.firmware.size();
    p.answers = std::move(answers);
    return p;
}

SimulatedInterface ProductInterface(const PackageContents& package, std::size_t outputLength, std::size_t inputLength,
                                    std::vector<BlockAnswer> answers) {
    SimulatedInterface i;
    i.vendorId = package.vendorId;
    i.productId = package.productId;
    i.product = ProductFor(package, outputLength, inputLength, std::move(answers));
    return i;
}

PackageOnDisk::PackageOnDisk(std::size_t firmwareSize, std::uint32_t blockLength) {
    contents.firmware = CountingPayload(firmwareSize);
    contents.blockLength = blockLength;
    Write();
}

void PackageOnDisk::Write() const { WriteBytes(folder / "p.qeff", BuildPackage(contents)); }

std::string SignedWithOpenssl(const std::filesystem::path& file, const std::string& subject) {
    static std::atomic<int> signers{0};  // each signer's certificate and key in files of its own
    const std::string name = Utf8(file), own = name + "." + std::to_string(++signers);
    const std::string certificate = own + ".cert.pem", key = own + ".key.pem";
    const auto quoted = [](const std::string& s) {  // for the shell, whatever it holds
        std::string q = "'";
        for (const char c : s)
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    const std::string made = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj " + quoted(subject) +
                             " -keyout " + quoted(key) + " -out " + quoted(certificate) +
                             " >/dev/null 2>&1 && openssl cms -sign -binary -noattr -outform DER -in " + quoted(name) +
                             " -signer " + quoted(certificate) + " -inkey " + quoted(key) + " -out " +
                             quoted(name + ".p7s") + " >/dev/null 2>&1";
    return std::system(made.c_str()) == 0 ? certificate : std::string();
}
