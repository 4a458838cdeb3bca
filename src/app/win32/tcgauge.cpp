#include "app/win32/tcgauge.h"

#include "app/gauge_colours.h"

#include <commctrl.h>

#include <string>

namespace {

COLORREF FromRgb(std::uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

}  // namespace

GaugeColours GaugeColoursFor(bool highContrast) {
    if (highContrast)
        return {GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_HIGHLIGHT)};
    return {FromRgb(GaugeBorderRgb), FromRgb(GaugeBackgroundRgb), FromRgb(GaugeBarRgb)};
}

bool HighContrastOn() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

TCGauge::TCGauge(HWND parent, int id, RECT place, HFONT font) : font_(font) {
    Handle = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, place.left, place.top,
                             place.right - place.left, place.bottom - place.top, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(Handle, PBM_SETRANGE32, 0, 100);
    SendMessageW(Handle, PBM_SETPOS, 0, 0);
    SetWindowSubclass(Handle, Proc, 0, reinterpret_cast<DWORD_PTR>(this));
}

void TCGauge::SetProgress(int value) {
    if (!value_.Set(value))
        return;
    // The progress bar keeps the value for accessibility tools; the picture is
    // ours, painted once.
    SendMessageW(Handle, WM_SETREDRAW, FALSE, 0);
    SendMessageW(Handle, PBM_SETPOS, static_cast<WPARAM>(value_.Get()), 0);
    SendMessageW(Handle, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(Handle, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

LRESULT CALLBACK TCGauge::Proc(HWND window, UINT message, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR self) {
    auto* gauge = reinterpret_cast<TCGauge*>(self);
    switch (message) {
    case WM_ERASEBKGND: return 1;  // painted whole in WM_PAINT
    case WM_PAINT: {
        PAINTSTRUCT ps;
        const HDC dc = BeginPaint(window, &ps);
        gauge->Paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        gauge->Paint(reinterpret_cast<HDC>(w));
        return 0;
    case WM_NCDESTROY: RemoveWindowSubclass(window, Proc, 0); break;
    default: break;
    }
    return DefSubclassProc(window, message, w, l);
}

void TCGauge::Paint(HDC target) {
    ++paints_;
    RECT all;
    GetClientRect(Handle, &all);
    const int width = all.right, height = all.bottom;
    // Drawn off screen: the picture, then the text inverted over it through a
    // mask of the text's pixels.
    const HDC picture = CreateCompatibleDC(target);
    const HBITMAP pictureBits = CreateCompatibleBitmap(target, width, height);
    const HGDIOBJ oldPicture = SelectObject(picture, pictureBits);

    // Asked at each paint: the system repaints every window when high contrast goes on or off.
    const GaugeColours colours = GaugeColoursFor(HighContrastOn());
    const HBRUSH border = CreateSolidBrush(colours.border);
    const HBRUSH background = CreateSolidBrush(colours.background);
    const HBRUSH bar = CreateSolidBrush(colours.bar);
    FillRect(picture, &all, border);
    RECT inner{1, 1, width - 1, height - 1};
    FillRect(picture, &inner, background);
    RECT filled = inner;
    filled.right = inner.left + (inner.right - inner.left) * value_.Get() / 100;
    FillRect(picture, &filled, bar);

    const HDC mask = CreateCompatibleDC(target);
    const HBITMAP maskBits = CreateCompatibleBitmap(target, width, height);
    const HGDIOBJ oldMask = SelectObject(mask, maskBits);
    const HBRUSH black = CreateSolidBrush(RGB(0, 0, 0));
    FillRect(mask, &all, black);
    const HGDIOBJ oldFont = SelectObject(mask, font_);
    SetBkMode(mask, TRANSPARENT);
    SetTextColor(mask, RGB(255, 255, 255));
    std::wstring text = std::to_wstring(value_.Get()) + L"%";
    DrawTextW(mask, text.c_str(), static_cast<int>(text.size()), &inner, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(mask, oldFont);
    BitBlt(picture, 0, 0, width, height, mask, 0, 0, SRCINVERT);  // white text pixels invert, black leave be

    BitBlt(target, 0, 0, width, height, picture, 0, 0, SRCCOPY);

    SelectObject(mask, oldMask);
    DeleteObject(maskBits);
    DeleteDC(mask);
    SelectObject(picture, oldPicture);
    DeleteObject(pictureBits);
    DeleteDC(picture);
    DeleteObject(black);
    DeleteObject(border);
    DeleteObject(background);
    DeleteObject(bar);
}
