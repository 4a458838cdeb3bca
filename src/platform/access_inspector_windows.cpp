// What stands between this program and a product's HID interfaces on
// Windows: whether the interface opens as the upgrade opens it (shared), and
// whether another program holds it, alone or beside us.

#include "platform/access_inspector.h"

#include <windows.h>

using Verdict = DoctorFinding::Verdict;

namespace {

HANDLE OpenInterface(const std::string& path, DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

class WindowsAccessInspector final : public AccessInspector {
public:
    std::vector<DoctorFinding> System(const DoctorQuestion& question) override {
        std::vector<DoctorFinding> findings;
        if (question.user)
            findings.push_back({Verdict::Note, "user", *question.user,
                                "on Windows the doctor looks with this program's own rights only", {}});
        findings.push_back({Verdict::Ok, "driver", {}, "the system's own HID class driver serves the product: no driver to install", {}});
        return findings;
    }

    std::vector<DoctorFinding> Interface(const std::string& path, const DoctorQuestion&) override {
        std::vector<DoctorFinding> findings;
        const HANDLE shared = OpenInterface(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (shared == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION)
                findings.push_back({Verdict::Problem, "interface", path, "another program holds it alone",
                                    "close the other program (another upgrade tool, the maker's own software)"});
            else if (error == ERROR_ACCESS_DENIED)
                findings.push_back({Verdict::Problem, "interface", path,
                                    "Windows refuses it (it keeps keyboards and mice for itself)",
                                    "the product's other interface is the one to upgrade through"});
            else
                findings.push_back({Verdict::Problem, "interface", path,
                                    "does not open (error " + std::to_string(error) + ")", "plug the product in again"});
            return findings;
        }
        CloseHandle(shared);
        findings.push_back({Verdict::Ok, "interface", path, "opens", {}});
        // Opened alone it fails while another program has it open too.
        const HANDLE alone = OpenInterface(path, 0);
        if (alone == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
            findings.push_back({Verdict::Note, "holder", path, "another program has it open too: its reports and the upgrade's would mix",
                                "close the other program before the upgrade"});
        else if (alone != INVALID_HANDLE_VALUE)
            CloseHandle(alone);
        return findings;
    }
};

}  // namespace

std::unique_ptr<AccessInspector> NativeAccessInspector() { return std::make_unique<WindowsAccessInspector>(); }
