#include "app/win32/win32_open_dialog.h"

#include "app/win32/win32_text.h"

#include <commdlg.h>

#include <vector>

bool Win32OpenDialog::Execute() {
    // "Text|pattern" as the file dialog wants it: pairs of zero-terminated
    // strings, ending in an empty one. The system compares names without
    // regard to letter case.
    std::wstring filter = Widen(Filter);
    filter += L'\0';
    filter += L"*.QEFF";
    filter += L'\0';
    filter += L'\0';
    const std::wstring folder = Widen(InitialDir);
    std::vector<wchar_t> name(32768, L'\0');
    const std::wstring last = Widen(FileName);
    last.copy(name.data(), std::min(last.size(), name.size() - 1));

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = name.data();
    ofn.nMaxFile = static_cast<DWORD>(name.size());
    ofn.lpstrInitialDir = folder.c_str();
    // Neither the file nor its folder has to exist, and the current directory
    // follows the folder of the confirmed name, as the system does by default.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&ofn))
        return false;
    FileName = Narrow(name.data());
    return true;
}
