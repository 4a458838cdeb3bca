#pragma once

#include "device/message_display.h"

#include <string>

// What the transfer needs of the window: the gauge, the message box, and a way
// to let pending window events run so that the window stays alive.
class TransferView {
public:
    virtual ~TransferView() = default;
    virtual void SetGauge(int percent) = 0;
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) = 0;
    virtual void ProcessPendingEvents() = 0;
};
