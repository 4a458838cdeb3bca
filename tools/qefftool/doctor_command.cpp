#include "qefftool/doctor_command.h"

#include "device/access_doctor.h"
#include "qefftool/package_ids_of.h"
#include "qefftool/exit_codes.h"
#include "qefftool/visible_text.h"

#include <nlohmann/json.hpp>

namespace {

const char* VerdictWord(DoctorFinding::Verdict verdict) {
    switch (verdict) {
    case DoctorFinding::Verdict::Ok: return "ok";
    case DoctorFinding::Verdict::Problem: return "problem";
    case DoctorFinding::Verdict::Note: break;
    }
    return "note";
}

}  // namespace

int RunDoctor(HidSystem& hid, AccessInspector& inspector, const std::optional<std::string>& package,
              const std::optional<std::string>& user, std::ostream& out, bool json) {
    DoctorQuestion question;
    question.user = user;
    if (package) {
        const PackageIds read = PackageIdsOf(*package);
        if (!read.ids) {
            const char* why = read.why;
            if (json)
                out << nlohmann::ordered_json{{"verdict", "problem"}, {"topic", "package"}, {"subject", *package}, {"text", why}}
                           .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                    << "\n";
            else
                out << "problem  package " << QuotedText(*package) << ": " << why << "\n";
            return ExitPackage;
        }
        question.ids = read.ids;
    }
    const DoctorReport report = Diagnose(hid, inspector, question);
    for (const DoctorFinding& f : report.findings) {
        if (json) {
            nlohmann::ordered_json line{{"verdict", VerdictWord(f.verdict)}, {"topic", f.topic}, {"text", f.text}};
            if (!f.subject.empty())
                line["subject"] = f.subject;
            if (!f.mend.empty())
                line["mend"] = f.mend;
            out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
            continue;
        }
        // Node names, rule files and process names are the system's texts:
        // shown so that none can drive the terminal.
        std::string verdict = VerdictWord(f.verdict);
        verdict.resize(9, ' ');
        out << verdict << f.topic;
        if (!f.subject.empty())
            out << " " << VisibleText(f.subject);
        out << ": " << VisibleText(f.text);
        if (!f.mend.empty())
            out << ". Mend: " << VisibleText(f.mend);
        out << "\n";
    }
    return ExitCodeOf(report.outcome);
}
