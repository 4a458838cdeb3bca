#include "qefftool/list_command.h"

#include "device/hid_device.h"
#include "device/usb_release.h"
#include "qefftool/exit_codes.h"
#include "qefftool/package_ids_of.h"
#include "qefftool/product_ids_text.h"
#include "qefftool/visible_text.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

std::string Ids(const DeviceAttributes& ids) { return ProductIdsText(ids.VendorId, ids.ProductId); }

void JsonLine(std::ostream& out, const nlohmann::json& line) {
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

int RunList(HidSystem& hid, const std::optional<std::string>& package, std::ostream& out, bool json) {
    std::optional<DeviceAttributes> wanted;
    if (package) {
        const PackageIds read = PackageIdsOf(*package);
        if (!read.ids) {
            const char* why = read.why;
            if (json)
                JsonLine(out, {{"event", "error"}, {"path", *package}, {"text", why}});
            else
                out << *package << ": " << why << "\n";
            return ExitPackage;
        }
        wanted = read.ids;
        if (!json)
            out << *package << " is for " << Ids(*wanted) << "\n";
    }

    const auto set = hid.PresentInterfaces();
    std::size_t index = 0;
    for (; set; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        nlohmann::json line{{"event", "interface"}, {"index", index}};
        if (entry.kind == InterfaceEntry::Kind::Unavailable) {
            if (json)
                JsonLine(out, line);
            else
                out << index << "  (no path)\n";
            continue;
        }
        line["path"] = entry.path;
        OpenFailure why = OpenFailure::None;
        const auto device = hid.OpenDevice(entry.path, &why);
        std::optional<DeviceAttributes> ids = entry.advertised;
        if (device) {
            if (const auto attributes = device->Attributes())
                ids = attributes;
        }
        std::string text = std::to_string(index) + "  " + VisibleText(entry.path) + "  " + (ids ? Ids(*ids) : "????:????");
        if (ids) {
            line["vendorId"] = ids->VendorId;
            line["productId"] = ids->ProductId;
        }
        line["access"] = device ? "open" : why == OpenFailure::AccessDenied ? "denied" : "cannot be opened";
        if (device) {
            if (const auto lengths = device->Capabilities()) {
                text += "  out " + std::to_string(lengths->OutputReportByteLength) + " in " +
                        std::to_string(lengths->InputReportByteLength);
                line["outputReportLength"] = lengths->OutputReportByteLength;
                line["inputReportLength"] = lengths->InputReportByteLength;
            }
            // The device's own words, made visible on a terminal.
            if (const std::string names = device->Description(); !names.empty()) {
                text += "  \"" + QuotedText(names) + "\"";
                line["name"] = names;
            }
            const DeviceIdentity identity = device->Identity();
            if (!identity.serial.empty())
                text += "  serial \"" + QuotedText(identity.serial) + "\"";
            if (!identity.location.empty())
                text += "  at \"" + QuotedText(identity.location) + "\"";
            if (identity.release)
                text += "  release " + ReleaseText(*identity.release);
            line["serial"] = identity.serial;
            line["location"] = identity.location;
            line["release"] =
                identity.release ? nlohmann::json(ReleaseText(*identity.release)) : nlohmann::json(nullptr);
        } else if (why == OpenFailure::AccessDenied) {
            text += "  access denied";
#ifdef __linux__
            if (ids)
                text += " (allow it: scripts/install-udev-rule.sh " + Ids(*ids).replace(4, 1, " ") + ")";
#endif
        } else {
            text += "  cannot be opened";
        }
        if (wanted) {
            const bool matches = ids && ids->VendorId == wanted->VendorId && ids->ProductId == wanted->ProductId;
            line["matchesPackage"] = matches;
            if (matches)
                text += "  matches the package";
        }
        if (json)
            JsonLine(out, line);
        else
            out << text << "\n";
    }
    if (index == 0 && !json)
        out << "no HID interfaces\n";
    return ExitSuccess;
}
