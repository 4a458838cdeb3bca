#pragma once

#include <QImage>
#include <QPoint>

class QPaintDevice;

inline constexpr const char16_t* LogoFileName = u"LogoQuorvella.png";

// The maker's logo, loaded once when the main window is built and drawn by both
// windows. A missing or broken file leaves it empty: then nothing is drawn.
extern QImage LogoImage;

// Loads LogoImage from the file in the process's current directory.
void LoadLogoImage();

// Draws LogoImage at its own pixel size with its top-left corner at `where`.
void DrawLogo(QPaintDevice& window, QPoint where);
