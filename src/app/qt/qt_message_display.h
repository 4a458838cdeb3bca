#pragma once

#include "device/message_display.h"

// Shows messages in the toolkit's message box, modal to the whole application.
class QtMessageDisplay final : public MessageDisplay {
public:
    void Show(const std::string& text, const std::string& caption, MessageStyle style) override;
};
