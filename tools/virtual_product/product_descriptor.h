#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The report descriptor of a vendor-defined product with one input and one
// output report of the given lengths (each counting the report-ID byte, as the
// host's HID parser states them). With `reportId` both reports carry ID 1.
std::vector<std::uint8_t> VendorReportDescriptor(std::size_t outputLength, std::size_t inputLength, bool reportId);

// The report descriptor of a boot keyboard: an 8-byte input report (modifiers,
// a reserved byte, six keys) and a 1-byte output report of five LEDs.
std::vector<std::uint8_t> BootKeyboardReportDescriptor();
