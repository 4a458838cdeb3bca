#include "package/package_file.h"
#include "package/package_header.h"
#include "support/package_files.h"
#include "platform/exclusive_file.h"
#include "support/transfer_fixtures.h"

#include <gtest/gtest.h>

namespace {

std::optional<PackageHeader> AcceptFile(const std::filesystem::path& path) {
    const auto file = OpenFileExclusive(path.string());
    if (!file)
        return std::nullopt;
    return AcceptHeader(*file);
}

class PackageAcceptance : public ::testing::Test {
protected:
    TempFolder folder;
    std::filesystem::path Write(const std::vector<std::uint8_t>& bytes, const std::string& name = "p.qeff") {
        const auto path = folder / name;
        WriteBytes(path, bytes);
        return path;
    }
};

TEST_F(PackageAcceptance, SizeAroundTheHeaderDecides) {
    PackageContents c = SamplePackage();
    c.firmware.clear();
    auto bytes = BuildPackage(c);
    ASSERT_EQ(bytes.size(), 4411u);

    const auto exact = AcceptFile(Write(bytes, "exact.qeff"));
    ASSERT_TRUE(exact.has_value()) << "a header with an empty payload is a package";
    EXPECT_EQ(exact->ProductName, "Quorvella Sensor Hub");

    bytes.pop_back();  // 4410 bytes, signature still in place
    EXPECT_FALSE(AcceptFile(Write(bytes, "short.qeff")).has_value());
    EXPECT_FALSE(AcceptFile(Write({}, "empty.qeff")).has_value());
}

TEST_F(PackageAcceptance, AllTwelveSignatureBytesAreCompared) {
    auto bytes = BuildPackage(SamplePackage());
    ASSERT_TRUE(AcceptFile(Write(bytes)).has_value());

    for (std::size_t i : {0u, 5u, 10u, 11u}) {
        auto broken = bytes;
        broken[i] = (i == 11) ? ' ' : static_cast<std::uint8_t>(broken[i] ^ 0x20);
        EXPECT_FALSE(AcceptFile(Write(broken, "sig" + std::to_string(i) + ".qeff")).has_value())
            << "signature byte " << i;
    }
}

TEST_F(PackageAcceptance, ReservedBytesAndFieldValuesAreNotChecked) {
    PackageContents c = SamplePackage();
    c.blockLength = 0;
    auto bytes = BuildPackage(c);
    bytes[12] = 0xEE;
    for (std::size_t i = 17; i < 21; ++i)
        bytes[i] = 0xAB;
    const auto header = AcceptFile(Write(bytes));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->BlockLength, 0u);
}

TEST_F(PackageAcceptance, IntegersAreLittleEndianAtTheirOffsets) {
    auto bytes = BuildPackage(SamplePackage());
    bytes[13] = 0x78; bytes[14] = 0x56; bytes[15] = 0x34; bytes[16] = 0x12;
    bytes[21] = 0xCD; bytes[22] = 0xAB;  // low byte first
    bytes[23] = 0x01; bytes[24] = 0xEF;
    const auto header = AcceptFile(Write(bytes));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->BlockLength, 0x12345678u);
    EXPECT_EQ(header->VendorId, 0xABCD);
    EXPECT_EQ(header->ProductId, 0xEF01);
    EXPECT_EQ(BlockLengthOf(bytes), 0x12345678u);
    // A buffer that ends inside the field has none to give.
    EXPECT_EQ(BlockLengthOf(std::span(bytes).first(17)), 0x12345678u);
    EXPECT_FALSE(BlockLengthOf(std::span(bytes).first(16)).has_value());
}

TEST_F(PackageAcceptance, TextsEndAtTheirZeroOrAtTheirSpan) {
    PackageContents c = SamplePackage();
    c.productName.clear();
    c.notes = "notes";
    auto bytes = BuildPackage(c);
    // Fill the product code's span completely: no zero byte inside it. A reader
    // that ran past the span would take the notes that follow into the code.
    for (std::size_t i = 282; i < 293; ++i)
        bytes[i] = 'C';
    // The firmware code, the last field, also fills its span up to the payload.
    for (std::size_t i = 4390; i < 4411; ++i)
        bytes[i] = 'F';
    bytes.push_back('X');  // payload right after: must not leak into the text

    const auto header = AcceptFile(Write(bytes));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->ProductName, "");
    EXPECT_EQ(header->ProductCode, std::string(11, 'C'));
    EXPECT_EQ(header->Notes, "notes");
    EXPECT_EQ(header->FirmwareCode, std::string(21, 'F'));
}

TEST_F(PackageAcceptance, EightBitTextsAreKeptAsTheyStand) {
    PackageContents c = SamplePackage();
    c.productName = "Caf\xE9 \x80 edition";  // ANSI bytes, decoded only for display
    const auto header = AcceptFile(Write(BuildPackage(c)));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->ProductName, "Caf\xE9 \x80 edition");
}

TEST(PackageAcceptanceReads, AShortReadRejects) {
    const auto bytes = BuildPackage(SamplePackage());
    MemoryPackage truncated(bytes);
    truncated.deliversAtMost = 4410;  // claims its size, delivers less, as a failing disk would
    EXPECT_FALSE(AcceptHeader(truncated).has_value());
    MemoryPackage whole(bytes);
    EXPECT_TRUE(AcceptHeader(whole).has_value());
}

}  // namespace
