#pragma once

#include "device/hid_device.h"
#include "device/outcome.h"

#include <optional>
#include <string>
#include <vector>

// One thing that stands between this computer and an upgrade (or that does
// not), with the command that mends it.
struct DoctorFinding {
    enum class Verdict { Ok, Note, Problem };
    Verdict verdict = Verdict::Note;
    std::string topic;    // what was looked at: "interface", "node", "udev rule", "logind", "uhid", ...
    std::string subject;  // the node, file or interface it is about; empty for the system as a whole
    std::string text;
    std::string mend;     // the command (or step) that mends it; empty when nothing needs mending
};

// What the doctor is asked: for a package's product (its IDs), and for the
// user who will upgrade (a station's service user), or else this process's.
struct DoctorQuestion {
    std::optional<DeviceAttributes> ids;
    std::optional<std::string> user;
    std::vector<std::string> ruleFolders;  // where udev rules are looked for; empty: the system's own
};

// What only the platform can tell of access to HID interfaces.
class AccessInspector {
public:
    virtual ~AccessInspector() = default;
    // The system as a whole: its HID nodes, the rules that grant them, and
    // what the virtual product and the window's hold on sleep need.
    virtual std::vector<DoctorFinding> System(const DoctorQuestion& question) = 0;
    // Whether the user asked for (or this process) may open the interface at
    // `path`, and whether another program holds it: findings about it; the
    // first says whether it opens (Ok) or not (Problem).
    virtual std::vector<DoctorFinding> Interface(const std::string& path, const DoctorQuestion& question) = 0;
};

struct DoctorReport {
    std::vector<DoctorFinding> findings;
    // How an upgrade would end for want of access: Upgraded when it would go,
    // NotFound without an interface with the IDs, AccessDenied when none opens.
    Outcome outcome = Outcome::Upgraded;
};

// Everything that stands between this computer and an upgrade of the
// product with `question.ids`: the system's findings, then each interface
// with the IDs, in the order the upgrade would try them, and the one it would use.
DoctorReport Diagnose(HidSystem& hid, AccessInspector& inspector, const DoctorQuestion& question);
