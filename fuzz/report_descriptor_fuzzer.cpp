// The report-descriptor parser over any bytes: it never reads past the end
// (AddressSanitizer watches), and the lengths it gives stay within what a HID
// report can be.

#include "platform/hid_report_descriptor.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that any read past the end is caught.
    const std::vector<std::uint8_t> descriptor(data, data + size);
    const auto reports = ParseReportDescriptor(descriptor);
    if (!reports)
        return 0;
    for (std::size_t length : {reports->inputReportByteLength, reports->outputReportByteLength,
                               reports->featureReportByteLength}) {
        if (length > 0xFFFF + 1 || length == 1)
            std::abort();  // a report is 1 to 65535 bytes, plus its ID byte
    }
    if (size == 0 && (reports->inputReportByteLength || reports->outputReportByteLength))
        std::abort();
    return 0;
}
