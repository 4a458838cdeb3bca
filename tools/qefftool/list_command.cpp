#include "list_command.h"

#include "device/hid_device.h"
#include "exit_codes.h"
#include "package/package_header.h"
#include "platform/exclusive_file.h"
#include "visible_text.h"

#include <cstdio>

namespace {

std::string Ids(const DeviceAttributes& ids) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", ids.VendorId, ids.ProductId);
    return text;
}

}  // namespace

int RunList(HidSystem& hid, const std::optional<std::string>& package, std::ostream& out) {
    std::optional<DeviceAttributes> wanted;
    if (package) {
        const auto file = OpenFileExclusive(*package);
        const auto header = file ? AcceptHeader(*file) : std::nullopt;
        if (!header) {
            out << *package << ": " << (file ? "Wrong file format!" : "Can't open file!") << "\n";
            return ExitPackage;
        }
        wanted = DeviceAttributes{header->VendorId, header->ProductId};
        out << *package << " is for " << Ids(*wanted) << "\n";
    }

    const auto set = hid.PresentInterfaces();
    std::size_t index = 0;
    for (; set; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        out << index << "  ";
        if (entry.kind == InterfaceEntry::Kind::Unavailable) {
            out << "(no path)\n";
            continue;
        }
        out << VisibleText(entry.path);
        OpenFailure why = OpenFailure::None;
        const auto device = hid.OpenDevice(entry.path, &why);
        std::optional<DeviceAttributes> ids = entry.advertised;
        if (device) {
            if (const auto attributes = device->Attributes())
                ids = attributes;
        }
        out << "  " << (ids ? Ids(*ids) : "????:????");
        if (device) {
            if (const auto lengths = device->Capabilities())
                out << "  out " << lengths->OutputReportByteLength << " in " << lengths->InputReportByteLength;
            if (const std::string names = device->Description(); !names.empty())
                out << "  \"" << VisibleText(names) << "\"";  // the device's own words
        } else if (why == OpenFailure::AccessDenied) {
            out << "  access denied";
#ifdef __linux__
            if (ids)
                out << " (allow it: scripts/install-udev-rule.sh " << Ids(*ids).replace(4, 1, " ") << ")";
#endif
        } else {
            out << "  cannot be opened";
        }
        if (wanted && ids && ids->VendorId == wanted->VendorId && ids->ProductId == wanted->ProductId)
            out << "  matches the package";
        out << "\n";
    }
    if (index == 0)
        out << "no HID interfaces\n";
    return ExitSuccess;
}
