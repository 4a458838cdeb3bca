// Package acceptance over any file contents: a file is accepted exactly when
// it is long enough and starts with the signature; the fields of an accepted
// header are the file's bytes; texts never reach past their span.

#include "package/package_bytes.h"
#include "package/package_header.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void Require(bool holds) {
    if (!holds)
        std::abort();
}

void RequireText(const std::string& text, const std::uint8_t* data, qeff::Field field) {
    Require(text.size() <= field.length);
    Require(std::memchr(text.data(), 0, text.size()) == nullptr);
    Require(std::equal(text.begin(), text.end(), data + field.offset,
                       [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; }));
    Require(text.size() == field.length || data[field.offset + text.size()] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PackageBytes file({data, size});
    const auto header = AcceptHeader(file);
    const bool package = size >= qeff::HeaderSize && std::equal(qeff::Signature.begin(), qeff::Signature.end(), data);
    Require(header.has_value() == package);
    if (!header)
        return 0;
    Require(header->BlockLength == (data[13] | data[14] << 8 | data[15] << 16 | static_cast<std::uint32_t>(data[16]) << 24));
    Require(header->VendorId == (data[21] | data[22] << 8));
    Require(header->ProductId == (data[23] | data[24] << 8));
    Require(BlockLengthOf({data, size}) == std::optional<std::uint32_t>(header->BlockLength));
    RequireText(header->ProductName, data, qeff::ProductNameField);
    RequireText(header->ProductCode, data, qeff::ProductCodeField);
    RequireText(header->Notes, data, qeff::NotesField);
    RequireText(header->FirmwareCode, data, qeff::FirmwareCodeField);
    return 0;
}
