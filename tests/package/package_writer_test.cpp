#include "package/package_header.h"
#include "support/package_files.h"
#include "package/package_writer.h"

#include <gtest/gtest.h>

#include <array>

TEST(PackageWriter, WhatItWritesTheReaderReadsBack) {
    const PackageContents c = SamplePackage();
    const auto bytes = BuildPackage(c);
    ASSERT_EQ(bytes.size(), qeff::HeaderSize + c.firmware.size());
    EXPECT_TRUE(HasSignature(bytes));

    const auto header = DecodeHeader(std::span<const std::uint8_t, qeff::HeaderSize>(bytes.data(), qeff::HeaderSize));
    EXPECT_EQ(header.BlockLength, c.blockLength);
    EXPECT_EQ(header.VendorId, c.vendorId);
    EXPECT_EQ(header.ProductId, c.productId);
    EXPECT_EQ(header.ProductName, c.productName);
    EXPECT_EQ(header.ProductCode, c.productCode);
    EXPECT_EQ(header.Notes, c.notes);
    EXPECT_EQ(header.FirmwareCode, c.firmwareCode);
    EXPECT_TRUE(std::equal(c.firmware.begin(), c.firmware.end(), bytes.begin() + qeff::PayloadOffset));
}

TEST(PackageWriter, TextsMustLeaveRoomForTheirZero) {
    PackageContents c = SamplePackage();
    c.productCode = std::string(10, 'x');  // 11-byte field: 10 characters and the zero
    EXPECT_NO_THROW(BuildPackage(c));
    c.productCode = std::string(11, 'x');
    EXPECT_THROW(BuildPackage(c), PackageTooLong);

    c = SamplePackage();
    c.notes = std::string(4097, 'n');
    EXPECT_THROW(BuildPackage(c), PackageTooLong);
}
