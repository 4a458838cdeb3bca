#pragma once

#include "device/message_display.h"

#include <cstdint>
#include <string>

// What the transfer needs of whoever shows it (the window, the command line):
// the gauge, the message box, and a way to let pending window events run so
// that the window stays alive.
class TransferView {
public:
    virtual ~TransferView() = default;
    virtual void SetGauge(int percent) = 0;
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) = 0;
    virtual void ProcessPendingEvents() = 0;
    // After each report: how much of the payload has gone out.
    virtual void PayloadSent(std::uint64_t /*sent*/, std::uint64_t /*total*/) {}
    // Asked between reports: true stops the transfer there (the user interrupted it).
    virtual bool StopRequested() { return false; }
    // Nothing more will be written: told once, just before the message that
    // says how the transfer ended (a notice on the way, as for code 11, is
    // not the end). A transfer stopped between reports shows no message and
    // is not told: its caller knows it stopped it.
    virtual void TransferEnding() {}
};
