#include "platform/interrupt.h"

#include <windows.h>

namespace {

std::atomic<bool> requested{false};
HANDLE handled = nullptr;  // set once the program has stopped cleanly

// Windows ends a console program as soon as its handler returns from a close,
// log-off or shut-down event, and at the latest 5 s after the event: the
// handler, on a thread of its own, waits for the running upgrades to stop
// between two reports and the summary to be written, within that time.
constexpr DWORD StopWithin = 4500;

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (requested.exchange(true))
            return FALSE;  // a second Ctrl-C ends the program
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requested.store(true);
        if (handled)
            WaitForSingleObject(handled, StopWithin);
        return TRUE;
    default:
        return FALSE;
    }
}

// A program that has loaded user32 (setupapi does) is not sent the console's
// log-off and shut-down events: Windows tells its windows instead. A hidden
// top-level window of its own, on a thread of its own, hears them.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:  // another program may still refuse: the station stops only once the session ends
        return TRUE;
    case WM_ENDSESSION:
        if (wParam) {
            requested.store(true);
            WaitForSingleObject(handled, StopWithin);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

DWORD WINAPI WatchSession(LPVOID) {
    WNDCLASSW type{};
    type.lpfnWndProc = OnSessionMessage;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"QeffToolSession";
    if (!RegisterClassW(&type))
        return 0;
    if (!CreateWindowExW(0, type.lpszClassName, L"qefftool", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                         type.hInstance, nullptr))
        return 0;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

}  // namespace

void CatchInterrupts() {
    if (handled)
        return;
    handled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void CatchSessionEnd() {
    CatchInterrupts();
    static const bool started = [] {
        const HANDLE thread = CreateThread(nullptr, 0, WatchSession, nullptr, 0, nullptr);
        if (thread)
            CloseHandle(thread);
        return thread != nullptr;
    }();
    (void)started;
}

const std::atomic<bool>& InterruptRequested() { return requested; }

void InterruptHandled() {
    if (handled)
        SetEvent(handled);
}
