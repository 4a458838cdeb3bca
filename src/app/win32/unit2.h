#pragma once

#include <windows.h>

// The About window: the logo, the product name, its version and the rights
// notice. Created hidden at start, shown by the main window's About button and
// hidden again by OK or its close button; never destroyed before the end.
class TForm2 {
public:
    // `screenDpi` of 0 asks the monitor the window is on; the window scales
    // with it, and again when it moves to a monitor of another resolution.
    explicit TForm2(HWND owner, int screenDpi = 0);
    ~TForm2();
    TForm2(const TForm2&) = delete;
    TForm2& operator=(const TForm2&) = delete;

    HWND Handle = nullptr;
    HWND Button1 = nullptr;
    HWND StaticText1 = nullptr;
    HWND StaticText2 = nullptr;
    HWND StaticText3 = nullptr;

    void Button1Click();
    // Shown if hidden and brought to the front, not modal.
    void Show();

    // How much positions and sizes grow on this screen (1 at 96 dots per inch).
    double Scale() const { return scale_; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    void FormPaint(HDC dc);
    // Font, controls and client area for a screen of `dpi`; the window's place stays.
    void Layout(int dpi);
    int ClientWidth() const;
    int ClientHeight() const;

    HFONT font_ = nullptr;
    double scale_ = 1.0;
};
