#include "app/win32/message_loop.h"

#include <map>

namespace {

std::map<HWND, KeyClaim>& Claims() {
    static std::map<HWND, KeyClaim> claims;
    return claims;
}

void Handle(MSG& msg) {
    const HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root) {
        const auto claim = Claims().find(root);
        if (claim != Claims().end()) {
            if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && claim->second(msg))
                return;
            if (IsDialogMessageW(root, &msg))
                return;
        }
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

void ClaimKeys(HWND topLevel, KeyClaim claim) { Claims()[topLevel] = std::move(claim); }

void ReleaseKeys(HWND topLevel) { Claims().erase(topLevel); }

int RunMessageLoop() {
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        Handle(msg);
    return static_cast<int>(msg.wParam);
}

bool DispatchPendingMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        Handle(msg);
    }
    return true;
}
