#pragma once

#include "device/message_display.h"

#include <windows.h>

// The system's message box: one OK button, with the exclamation, information
// or error icon, or none; owned by the main window and modal to the whole
// application, whichever window is active (About, or another program's).
class Win32MessageDisplay final : public MessageDisplay {
public:
    HWND Owner = nullptr;  // the main window, once there is one

    void Show(const std::string& text, const std::string& caption, MessageStyle style) override;
};
