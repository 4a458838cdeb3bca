#pragma once

#include <windows.h>

// The message Windows 10 (1703 on) sends a per-monitor window before its
// resolution changes, asking the size it wants; older headers lack it.
#ifndef WM_GETDPISCALEDSIZE
#define WM_GETDPISCALEDSIZE 0x02E4
#endif

// The dots per inch of the monitor a window is on: GetDpiForWindow where the
// system has it (Windows 10 1607 on), else the screen's.
int DpiOfWindow(HWND window);

// The outer size of a window of `window`'s styles whose client area is
// `width` x `height`, with its caption and frame as drawn at `dpi`.
SIZE WindowSizeForClient(HWND window, int width, int height, int dpi);

// Places `window` at `left`, `top` with a client area of exactly `width` x
// `height`, however large its frame is drawn.
void PlaceWithClient(HWND window, int left, int top, int width, int height);
