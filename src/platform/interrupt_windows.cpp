#include "platform/interrupt.h"

#include <windows.h>

namespace {

std::atomic<bool> requested{false};

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (requested.exchange(true))
        return FALSE;  // a second Ctrl-C ends the program
    return TRUE;
}

}  // namespace

void CatchInterrupts() { SetConsoleCtrlHandler(OnControl, TRUE); }

const std::atomic<bool>& InterruptRequested() { return requested; }
