#pragma once

#include "device/message_display.h"

// The system's message box: one OK button, modal to the application, with the
// exclamation, information or error icon, or none.
class Win32MessageDisplay final : public MessageDisplay {
public:
    void Show(const std::string& text, const std::string& caption, MessageStyle style) override;
};
