#include "platform/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

namespace {

enum ItemType : std::uint8_t { Main = 0, Global = 1, Local = 2 };

enum MainTag : std::uint8_t { Input = 0x8, Output = 0x9, Collection = 0xA, Feature = 0xB, EndCollection = 0xC };

enum GlobalTag : std::uint8_t { ReportSize = 0x7, ReportId = 0x8, ReportCount = 0x9, Push = 0xA, Pop = 0xB };

// The global state that decides report lengths (other globals do not matter here).
struct Globals {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

constexpr std::size_t kMaxPushDepth = 32;      // deeper nesting is no real descriptor
constexpr std::uint64_t kMaxReportBits = std::uint64_t{8} * 0xFFFF;  // a report length must fit 16 bits

}  // namespace

std::optional<DescribedReports> ParseReportDescriptor(std::span<const std::uint8_t> d) {
    Globals globals;
    std::vector<Globals> stack;
    int depth = 0;
    bool usesIds = false;
    // Bits per report ID, for input, output and feature.
    std::array<std::map<std::uint8_t, std::uint64_t>, 3> bits;

    std::size_t at = 0;
    while (at < d.size()) {
        const std::uint8_t prefix = d[at];
        if (prefix == 0xFE) {  // a long item: size, tag, data; it describes no report
            if (at + 3 > d.size())
                return std::nullopt;
            const std::size_t size = d[at + 1];
            if (at + 3 + size > d.size())
                return std::nullopt;
            at += 3 + size;
            continue;
        }
        static constexpr std::size_t kDataSize[4] = {0, 1, 2, 4};
        const std::size_t size = kDataSize[prefix & 0x3];
        const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        if (at + 1 + size > d.size())
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= static_cast<std::uint32_t>(d[at + 1 + i]) << (8 * i);
        at += 1 + size;

        if (type == Global) {
            switch (tag) {
            case ReportSize: globals.reportSize = value; break;
            case ReportCount: globals.reportCount = value; break;
            case ReportId:
                if (value == 0 || value > 0xFF)
                    return std::nullopt;
                globals.reportId = static_cast<std::uint8_t>(value);
                usesIds = true;
                break;
            case Push:
                if (stack.size() == kMaxPushDepth)
                    return std::nullopt;
                stack.push_back(globals);
                break;
            case Pop:
                if (stack.empty())
                    return std::nullopt;
                globals = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        } else if (type == Main) {
            switch (tag) {
            case Input:
            case Output:
            case Feature: {
                const std::size_t direction = tag == Input ? 0 : tag == Output ? 1 : 2;
                std::uint64_t& total = bits[direction][globals.reportId];
                total += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
                if (total > kMaxReportBits)
                    return std::nullopt;
                break;
            }
            case Collection: ++depth; break;
            case EndCollection:
                if (--depth < 0)
                    return std::nullopt;
                break;
            default: break;
            }
        }
        // Local items (usages, designators, strings) do not shape the reports.
    }
    if (depth != 0)
        return std::nullopt;

    const auto longest = [](const std::map<std::uint8_t, std::uint64_t>& reports) -> std::size_t {
        std::uint64_t most = 0;
        bool any = false;
        for (const auto& [id, count] : reports) {
            any = any || count > 0;
            most = std::max(most, (count + 7) / 8);
        }
        return any ? static_cast<std::size_t>(most) + 1 : 0;
    };
    DescribedReports r;
    r.inputReportByteLength = longest(bits[0]);
    r.outputReportByteLength = longest(bits[1]);
    r.featureReportByteLength = longest(bits[2]);
    r.usesReportIds = usesIds;
    r.outputReportId = LongestReportId(bits[1]);
    return r;
}

std::uint8_t LongestReportId(const std::map<std::uint8_t, std::uint64_t>& bitsById) {
    std::uint8_t id = 0;
    std::uint64_t most = 0;
    for (const auto& [reportId, count] : bitsById) {
        if ((count + 7) / 8 > (most + 7) / 8) {
            id = reportId;
            most = count;
        }
    }
    return id;
}
