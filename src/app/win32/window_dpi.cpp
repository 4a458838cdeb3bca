#include "app/win32/window_dpi.h"

namespace {

// The per-monitor functions come with later systems (and Wine versions) than
// the program runs on: looked up at run time, so it still starts without them.
template <class Function>
Function FromUser32(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

}  // namespace

int DpiOfWindow(HWND window) {
    static const auto getDpiForWindow = FromUser32<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow && window)
        if (const UINT dpi = getDpiForWindow(window); dpi > 0)
            return static_cast<int>(dpi);
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

SIZE WindowSizeForClient(HWND window, int width, int height, int dpi) {
    static const auto adjustForDpi = FromUser32<AdjustWindowRectExForDpiFunction>("AdjustWindowRectExForDpi");
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    RECT frame{0, 0, width, height};
    if (!adjustForDpi || !adjustForDpi(&frame, style, FALSE, exStyle, static_cast<UINT>(dpi)))
        AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

void PlaceWithClient(HWND window, int left, int top, int width, int height) {
    const SIZE size = WindowSizeForClient(window, width, height, DpiOfWindow(window));
    SetWindowPos(window, nullptr, left, top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame as the system really drew it decides: any difference left in
    // the client area goes into the window's size.
    RECT client;
    GetClientRect(window, &client);
    if (client.right != width || client.bottom != height)
        SetWindowPos(window, nullptr, 0, 0, size.cx + width - client.right, size.cy + height - client.bottom,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
}
