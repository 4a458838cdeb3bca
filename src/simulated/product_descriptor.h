#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The report descriptor of a vendor-defined product with one input and one
// output report of the given lengths (each counting the report-ID byte, as the
// host's HID parser states them). With report IDs (`inputId` and `outputId`
// not 0) the reports carry those, and a shorter output report of another ID
// comes first, as on a product with several output reports: the host must
// number its reports by the one of the output length.
std::vector<std::uint8_t> VendorReportDescriptor(std::size_t outputLength, std::size_t inputLength,
                                                 std::uint8_t inputId = 0, std::uint8_t outputId = 0);

// The report descriptor of a boot keyboard: an 8-byte input report (modifiers,
// a reserved byte, six keys) and a 1-byte output report of five LEDs.
std::vector<std::uint8_t> BootKeyboardReportDescriptor();
