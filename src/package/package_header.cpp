#include "package/package_header.h"

#include "package/package_file.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint32_t LittleEndian(std::span<const std::uint8_t> bytes, qeff::Field field) {
    std::uint32_t value = 0;
    for (std::size_t i = field.length; i-- > 0;)
        value = (value << 8) | bytes[field.offset + i];
    return value;
}

std::string Text(std::span<const std::uint8_t> bytes, qeff::Field field) {
    const auto span = bytes.subspan(field.offset, field.length);
    const auto end = std::find(span.begin(), span.end(), std::uint8_t{0});
    return std::string(span.begin(), end);
}

}  // namespace

std::optional<std::uint32_t> BlockLengthOf(std::span<const std::uint8_t> package) {
    if (package.size() < qeff::BlockLengthField.offset + qeff::BlockLengthField.length)
        return std::nullopt;
    return LittleEndian(package, qeff::BlockLengthField);
}

bool HasSignature(std::span<const std::uint8_t> package) {
    return package.size() >= qeff::Signature.size() &&
           std::equal(qeff::Signature.begin(), qeff::Signature.end(), package.begin());
}

PackageHeader DecodeHeader(std::span<const std::uint8_t, qeff::HeaderSize> header) {
    PackageHeader h;
    std::copy_n(header.begin(), h.Signature.size(), h.Signature.begin());
    h.BlockLength = LittleEndian(header, qeff::BlockLengthField);
    h.VendorId = static_cast<std::uint16_t>(LittleEndian(header, qeff::VendorIdField));
    h.ProductId = static_cast<std::uint16_t>(LittleEndian(header, qeff::ProductIdField));
    h.ProductName = Text(header, qeff::ProductNameField);
    h.ProductCode = Text(header, qeff::ProductCodeField);
    h.Notes = Text(header, qeff::NotesField);
    h.FirmwareCode = Text(header, qeff::FirmwareCodeField);
    return h;
}

std::optional<PackageHeader> AcceptHeader(PackageFile& file) {
    const auto size = file.Size();
    if (!size || *size < qeff::HeaderSize)
        return std::nullopt;
    // A fixed buffer: obtaining it cannot fail, and it is gone when we return.
    std::array<std::uint8_t, qeff::HeaderSize> buffer{};
    if (file.ReadFromStart(buffer) != buffer.size())
        return std::nullopt;
    if (!HasSignature(buffer))
        return std::nullopt;
    return DecodeHeader(buffer);
}
