#include "app/win32/win32_message_display.h"

#include "app/win32/win32_text.h"

#include <vector>

void Win32MessageDisplay::Show(const std::string& text, const std::string& caption, MessageStyle style) {
    UINT icon = 0;
    switch (style) {
    case MessageStyle::Exclamation: icon = MB_ICONEXCLAMATION; break;
    case MessageStyle::Information: icon = MB_ICONINFORMATION; break;
    case MessageStyle::Error: icon = MB_ICONERROR; break;
    case MessageStyle::Plain: break;
    }
    // The box disables its owner; the application's other windows (About)
    // wait for it too, as a task-modal box would have them, yet the box keeps
    // its owner: no taskbar button of its own, never behind the main window.
    const HWND owner = Owner && IsWindow(Owner) ? Owner : nullptr;  // gone: an error after the window closed
    std::vector<HWND> others;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM list) {
            if (IsWindowVisible(window) && IsWindowEnabled(window))
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&others));
    for (const HWND window : others)
        if (window != owner)
            EnableWindow(window, FALSE);
    MessageBoxW(owner, Widen(text).c_str(), Widen(caption).c_str(), MB_OK | MB_APPLMODAL | icon);
    for (const HWND window : others)
        if (window != owner && IsWindow(window))
            EnableWindow(window, TRUE);
}
