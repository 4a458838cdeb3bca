#pragma once

#include "app/main_window_layout.h"
#include "version.h"

#include <array>
#include <cmath>

// The About window at 96 dots per inch. Unlike the main window it grows with
// the screen's resolution: the font by dpi / 96, then every position and size
// by how much taller the text became (13 pixels as designed).
inline constexpr int AboutClientWidth = 312;
inline constexpr int AboutClientHeight = 244;
inline constexpr int AboutLeft = 478;  // screen position; not scaled
inline constexpr int AboutTop = 294;
inline constexpr int DesignedDpi = 96;
inline constexpr int DesignedTextHeight = 13;

struct AboutRow {
    const char* name;
    bool isButton;
    Placement place;
    const char* text;
};

inline constexpr std::array<AboutRow, 4> AboutWindowControls{{
    {"Button1", true, {120, 200, 73, 25}, "OK"},
    {"StaticText1", false, {80, 112, 146, 17}, "Quorvella USB Upgrade Utility"},
    {"StaticText2", false, {80, 128, 63, 17}, "Version " QUORVELLA_VERSION},
    {"StaticText3", false, {80, 160, 158, 17}, "(c) 2026 Quorvella Ltd."},
}};

// The font's pixel height on a screen of `dpi`.
inline int AboutFontPixels(double dpi) {
    return static_cast<int>(std::lround(WindowFontPixels * dpi / DesignedDpi));
}

// A designed length at the scale the window's text grew by.
inline int Scaled(int designed, double scale) { return static_cast<int>(std::lround(designed * scale)); }
