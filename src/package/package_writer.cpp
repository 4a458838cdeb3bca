#include "package/package_writer.h"

#include "package/package_header.h"

#include <algorithm>

namespace {

void PutLittleEndian(std::vector<std::uint8_t>& out, qeff::Field field, std::uint32_t value) {
    for (std::size_t i = 0; i < field.length; ++i)
        out[field.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(std::vector<std::uint8_t>& out, qeff::Field field, const std::string& text, const char* name) {
    if (text.size() >= field.length)
        throw PackageTooLong(std::string(name) + " is longer than " + std::to_string(field.length - 1) + " bytes");
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(field.offset));
}

}  // namespace

std::vector<std::uint8_t> BuildPackage(const PackageContents& c) {
    std::vector<std::uint8_t> out(qeff::HeaderSize, 0);
    std::copy(qeff::Signature.begin(), qeff::Signature.end(), out.begin());
    PutLittleEndian(out, qeff::BlockLengthField, c.blockLength);
    PutLittleEndian(out, qeff::VendorIdField, c.vendorId);
    PutLittleEndian(out, qeff::ProductIdField, c.productId);
    PutText(out, qeff::ProductNameField, c.productName, "product name");
    PutText(out, qeff::ProductCodeField, c.productCode, "product code");
    PutText(out, qeff::NotesField, c.notes, "notes");
    PutText(out, qeff::FirmwareCodeField, c.firmwareCode, "firmware code");
    out.insert(out.end(), c.firmware.begin(), c.firmware.end());
    return out;
}
