#include "package/checked_package.h"

#include "package/package_header.h"
#include "package/package_text.h"
#include "platform/exclusive_file.h"

#include <cstdint>

std::optional<CheckedPackage> CheckPackage(const std::string& path, std::string& why) {
    CheckedPackage checked;
    auto& package = checked.bytes;
    const auto file = OpenFileExclusive(path);
    why = "Can't open file!";
    if (!file)
        return std::nullopt;
    const auto header = AcceptHeader(*file);
    const auto size = file->Size();
    if (header && size && *size <= SIZE_MAX) {
        package.resize(static_cast<std::size_t>(*size));
        if (file->ReadFromStart(package) != package.size())
            return std::nullopt;
    }
    why = "Wrong file format!";
    if (!header || package.size() < qeff::HeaderSize || !HasSignature(package))
        return std::nullopt;
    const auto digest = Sha256(package);
    why = "The package's SHA-256 cannot be computed.";
    if (!digest)
        return std::nullopt;
    checked.digest = *digest;
    checked.summary = {path, AnsiToUtf8(header->ProductName), AnsiToUtf8(header->ProductCode),
                       AnsiToUtf8(header->FirmwareCode), header->VendorId, header->ProductId, header->BlockLength,
                       package.size() - qeff::HeaderSize, Sha256Hex(*digest), {}};
    why.clear();
    return checked;
}

std::optional<std::string> PinRefusal(const CheckedPackage& package, const std::optional<Sha256Digest>& pin) {
    // A package pinned by its hash: another file never reaches a product.
    if (!pin || *pin == package.digest)
        return std::nullopt;
    return "The package's SHA-256 is " + Sha256Hex(package.digest) + ", not " + Sha256Hex(*pin) + ". Nothing was sent.";
}
