#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class PackageFile;

// Layout of a .qeff package: a fixed 4411-byte header, then the firmware image.
// All integers are little-endian; texts are zero-terminated inside their span.
namespace qeff {

inline constexpr std::size_t HeaderSize = 4411;
inline constexpr std::array<std::uint8_t, 12> Signature = {
    'F', 'W', 'U', 'P', 'G', 'Q', 'U', 'O', 'R', '0', '1', 0};

struct Field {
    std::size_t offset;
    std::size_t length;
};

inline constexpr Field SignatureField{0, 12};
inline constexpr Field BlockLengthField{13, 4};
inline constexpr Field VendorIdField{21, 2};
inline constexpr Field ProductIdField{23, 2};
inline constexpr Field ProductNameField{25, 257};
inline constexpr Field ProductCodeField{282, 11};
inline constexpr Field NotesField{293, 4097};
inline constexpr Field FirmwareCodeField{4390, 21};
inline constexpr std::size_t PayloadOffset = HeaderSize;

}  // namespace qeff

struct PackageHeader {
    std::array<std::uint8_t, 12> Signature{};
    std::uint32_t BlockLength = 0;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    // Texts are kept as the file's 8-bit ANSI bytes; the window decodes them.
    std::string ProductName;
    std::string ProductCode;
    std::string Notes;
    std::string FirmwareCode;
};

// Field access on the whole file read into one buffer, as the transfer holds it;
// nullopt when the buffer is too short to hold the field.
std::optional<std::uint32_t> BlockLengthOf(std::span<const std::uint8_t> package);
bool HasSignature(std::span<const std::uint8_t> package);
// Decodes every header field; a text with no zero byte in its span ends at the
// span's end, so decoding never reads past the header.
PackageHeader DecodeHeader(std::span<const std::uint8_t, qeff::HeaderSize> header);

// Decides whether `file` is a package: at least 4411 bytes, the first 4411 read
// in full, and the exact 12-byte signature. Nothing else is checked.
std::optional<PackageHeader> AcceptHeader(PackageFile& file);
