#include "device/access_doctor.h"

#include <cstdio>

namespace {

std::string IdsText(const DeviceAttributes& ids) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", ids.VendorId, ids.ProductId);
    return text;
}

}  // namespace

DoctorReport Diagnose(HidSystem& hid, AccessInspector& inspector, const DoctorQuestion& question) {
    DoctorReport report;
    report.findings = inspector.System(question);
    if (!question.ids)
        return report;  // no product asked about: nothing an upgrade would meet

    const auto set = hid.PresentInterfaces();
    std::vector<std::string> withIds;
    for (std::size_t index = 0; set; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind != InterfaceEntry::Kind::Path)
            continue;
        // The IDs as the system tells them without opening, or as the device
        // tells them; one that cannot be asked may be the product all the same.
        std::optional<DeviceAttributes> ids = entry.advertised;
        if (!ids)
            if (const auto device = hid.OpenDevice(entry.path))
                ids = device->Attributes();
        if (!ids || (ids->VendorId == question.ids->VendorId && ids->ProductId == question.ids->ProductId))
            withIds.push_back(entry.path);
    }

    const std::string ids = IdsText(*question.ids);
    std::optional<std::string> used;
    for (const std::string& path : withIds) {
        auto found = inspector.Interface(path, question);
        if (!used && !found.empty() && found.front().verdict == DoctorFinding::Verdict::Ok)
            used = path;
        report.findings.insert(report.findings.end(), found.begin(), found.end());
    }
    if (withIds.empty()) {
        report.findings.push_back({DoctorFinding::Verdict::Problem, "interface", {},
                                   "no HID interface with " + ids + " is attached",
                                   "plug the product in; `qefftool list` shows what is attached"});
        report.outcome = Outcome::NotFound;
    } else if (!used) {
        report.findings.push_back({DoctorFinding::Verdict::Problem, "interface", {},
                                   "no interface with " + ids + " may be opened: the upgrade would be denied",
                                   "mend the interfaces' findings above"});
        report.outcome = Outcome::AccessDenied;
    } else {
        report.findings.push_back({DoctorFinding::Verdict::Ok, "interface", *used,
                                   "the upgrade would use this interface", {}});
    }
    return report;
}
