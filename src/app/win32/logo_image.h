#pragma once

#include <windows.h>

namespace Gdiplus {
class Image;
}

inline constexpr const wchar_t* LogoFileName = L"LogoQuorvella.png";

// The maker's logo, loaded once when the main window is built and drawn by
// both windows; a missing or broken file leaves it without a picture, and
// then nothing is drawn.
extern Gdiplus::Image* LogoImage;

// The imaging library's lifetime, held by the main window: started when it
// is built, shut down when it is destroyed.
class ImagingLibrary {
public:
    ImagingLibrary();   // starts GDI+, then loads LogoImage from the current directory
    ~ImagingLibrary();  // releases LogoImage, then shuts GDI+ down
    ImagingLibrary(const ImagingLibrary&) = delete;
    ImagingLibrary& operator=(const ImagingLibrary&) = delete;

private:
    ULONG_PTR token_ = 0;
};

// Draws LogoImage at its own pixel size with its top-left corner at (x, y).
void DrawLogo(HDC dc, int x, int y);
