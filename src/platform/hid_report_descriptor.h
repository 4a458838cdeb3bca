#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>

// What the utility needs to know of a HID report descriptor: the report lengths
// as the Windows HID parser states them (the longest report of each direction
// in whole bytes, plus one for the report-ID byte; 0 when the direction has no
// report), whether the reports carry an ID byte of their own, and the ID of the
// output report of that length (the one the product takes its data in).
struct DescribedReports {
    std::size_t inputReportByteLength = 0;
    std::size_t outputReportByteLength = 0;
    std::size_t featureReportByteLength = 0;
    bool usesReportIds = false;
    std::uint8_t outputReportId = 0;
};

// The ID of the longest of a direction's reports, given the bits of each by
// ID (the lowest ID of those as long); 0 when there is none.
std::uint8_t LongestReportId(const std::map<std::uint8_t, std::uint64_t>& bitsById);

// nullopt for a malformed descriptor: an item cut short, Pop without Push,
// unbalanced collections, report ID 0, or sizes beyond what HID allows.
std::optional<DescribedReports> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);
