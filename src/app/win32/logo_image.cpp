#include "app/win32/logo_image.h"

// GDI+'s headers want the min and max of the Windows headers.
#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

Gdiplus::Image* LogoImage = nullptr;

ImagingLibrary::ImagingLibrary() {
    // Version 1, no debug callback, its own background thread and external codecs allowed.
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    LogoImage = new Gdiplus::Image(LogoFileName);  // GDI+'s own allocation: null when out of memory
    // A missing or broken file leaves no picture (and says nothing).
    if (LogoImage && LogoImage->GetLastStatus() != Gdiplus::Ok) {
        delete LogoImage;
        LogoImage = nullptr;
    }
}

ImagingLibrary::~ImagingLibrary() {
    // The picture belongs to the library: it goes before the library does.
    delete LogoImage;
    LogoImage = nullptr;
    Gdiplus::GdiplusShutdown(token_);
}

void DrawLogo(HDC dc, int x, int y) {
    if (!LogoImage)
        return;
    Gdiplus::Graphics surface(dc);
    const auto height = static_cast<INT>(LogoImage->GetHeight());
    const auto width = static_cast<INT>(LogoImage->GetWidth());
    surface.DrawImage(LogoImage, x, y, width, height);
}
