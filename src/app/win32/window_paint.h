#pragma once

#include <windows.h>

// A window's own painting, on the screen (WM_PAINT) or into another surface,
// a snapshot of the window (WM_PRINTCLIENT, on the button face first).
template <class Paint>
void PaintClient(HWND window, UINT message, WPARAM w, Paint paint) {
    if (message == WM_PRINTCLIENT) {
        RECT all;
        GetClientRect(window, &all);
        FillRect(reinterpret_cast<HDC>(w), &all, GetSysColorBrush(COLOR_BTNFACE));
        paint(reinterpret_cast<HDC>(w));
        return;
    }
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(window, &ps);
    paint(dc);
    EndPaint(window, &ps);
}
