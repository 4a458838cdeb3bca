#include "app/win32/win32_message_display.h"

#include "app/win32/win32_text.h"

void Win32MessageDisplay::Show(const std::string& text, const std::string& caption, MessageStyle style) {
    UINT icon = 0;
    switch (style) {
    case MessageStyle::Exclamation: icon = MB_ICONEXCLAMATION; break;
    case MessageStyle::Information: icon = MB_ICONINFORMATION; break;
    case MessageStyle::Error: icon = MB_ICONERROR; break;
    case MessageStyle::Plain: break;
    }
    // Owned by the active window, so the application's windows wait for it.
    MessageBoxW(GetActiveWindow(), Widen(text).c_str(), Widen(caption).c_str(), MB_OK | MB_APPLMODAL | icon);
}
