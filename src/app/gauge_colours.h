#pragma once

#include <cstdint>

// The progress gauge's colours as designed, as 0xRRGGBB: a black border, a
// white background, and the bar in the desktop colour of the classic Windows
// scheme. That colour is fixed here, for Windows 10 and later no longer
// report a desktop colour (they give black) and other systems never had one.
inline constexpr std::uint32_t GaugeBorderRgb = 0x000000;
inline constexpr std::uint32_t GaugeBackgroundRgb = 0xFFFFFF;
inline constexpr std::uint32_t GaugeBarRgb = 0x3A6EA5;
