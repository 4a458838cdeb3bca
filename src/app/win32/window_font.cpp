#include "app/win32/window_font.h"

#include "app/main_window_layout.h"
#include "app/win32/win32_text.h"

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

// Windows installs "MS Sans Serif" for the screen's resolution: from 120 dots
// per inch on, the faces drawn for 120 dpi (sseriff*.fon), whose smallest is
// 13 pixels high. The windows are designed in the 96-dpi faces' 11 pixels, so
// those (sserife*.fon, in the same code page) are made known to this process
// too; the font mapper then finds the 11-pixel face at any resolution.
void AddDesignedFacesOnce() {
    static const bool added = [] {
        wchar_t file[MAX_PATH] = L"";
        const wchar_t* const key = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
        bool found = false;
        for (const wchar_t* name : {L"MS Sans Serif 8,10,12,14,18,24", L"MS Sans Serif"}) {
            DWORD size = sizeof file;
            if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, file, &size) == ERROR_SUCCESS) {
                found = true;
                break;
            }
        }
        std::wstring designed(file);
        for (wchar_t& c : designed)
            c = static_cast<wchar_t>(std::towlower(c));
        if (!found || designed.rfind(L"sseriff", 0) != 0)
            return false;  // the 96-dpi faces are the system's own
        designed[6] = L'e';  // sseriff.fon -> sserife.fon, sseriffr.fon -> sserifer.fon
        wchar_t windows[MAX_PATH] = L"";
        GetWindowsDirectoryW(windows, MAX_PATH);
        const std::wstring path = std::wstring(windows) + L"\\Fonts\\" + designed;
        return AddFontResourceExW(path.c_str(), FR_PRIVATE, nullptr) > 0;
    }();
    (void)added;
}

}  // namespace

HFONT CreateWindowFont(int pixels) {
    AddDesignedFacesOnce();
    const std::wstring face = Widen(WindowFontFace);
    return CreateFontW(-pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, face.c_str());
}

int TextHeight(HFONT font) {
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return metrics.tmHeight;
}

SIZE TextExtent(HFONT font, const wchar_t* text) {
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text, static_cast<int>(std::wcslen(text)), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
}
