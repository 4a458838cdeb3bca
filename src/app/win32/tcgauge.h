#pragma once

#include "app/gauge_value.h"

#include <windows.h>

// What the gauge is drawn in. As designed (black, white and the classic
// desktop colour) unless the system is in high contrast, where the system's
// window text, window and highlight colours are what reads.
struct GaugeColours {
    COLORREF border, background, bar;

    bool operator==(const GaugeColours&) const = default;
};
GaugeColours GaugeColoursFor(bool highContrast);
// Whether the user turned on high contrast.
bool HighContrastOn();

// The progress gauge: a system progress bar that paints itself, so that
// accessibility tools see a progress bar and its value. One-pixel border,
// background, the filled part (GaugeColours), and the percentage centred with
// every text pixel the inverse of what lies beneath.
class TCGauge {
public:
    TCGauge(HWND parent, int id, RECT place, HFONT font);

    HWND Handle = nullptr;

    int Progress() const { return value_.Get(); }
    // Clamps to 0..100 and repaints at once, but only when the shown value changes.
    void SetProgress(int value);
    // How many times it painted itself, for the tests.
    int Paints() const { return paints_; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    void Paint(HDC dc);

    GaugeValue value_;
    HFONT font_;
    int paints_ = 0;
};
