#pragma once

#include <windows.h>

#include <functional>

// The one message loop of the program, and the same handling when the
// transfer lets pending messages run: a top-level window may claim key
// presses first (Escape, Enter), then the dialog manager moves the focus with
// Tab, then the message is dispatched.
using KeyClaim = std::function<bool(const MSG&)>;

void ClaimKeys(HWND topLevel, KeyClaim claim);
void ReleaseKeys(HWND topLevel);

// Runs until WM_QUIT; returns its exit code.
int RunMessageLoop();
// Handles what is pending and returns; false when a WM_QUIT was met (it is
// posted again, so the main loop still ends).
bool DispatchPendingMessages();
