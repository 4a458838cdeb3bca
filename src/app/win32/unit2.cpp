#include "app/win32/unit2.h"

#include "app/about_window_layout.h"
#include "app/main_window.h"
#include "app/win32/keys.h"
#include "app/win32/logo_image.h"
#include "app/win32/message_loop.h"
#include "app/win32/win32_text.h"
#include "app/win32/window_dpi.h"
#include "app/win32/window_font.h"
#include "app/win32/window_paint.h"

namespace {

constexpr const wchar_t* kAboutWindowClass = L"TForm2";
constexpr int kButton1 = 100;

void RegisterAboutWindowClassOnce() {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kAboutWindowClass;
        return RegisterClassExW(&wc);
    }();
    (void)atom;
}

// How much taller the window's text is at `dpi` than as designed.
double ScaleAt(int dpi) {
    const HFONT font = CreateWindowFont(AboutFontPixels(dpi));
    const HFONT designed = CreateWindowFont(WindowFontPixels);
    const double scale = static_cast<double>(TextHeight(font)) / TextHeight(designed);
    DeleteObject(font);
    DeleteObject(designed);
    return scale;
}

}  // namespace

TForm2::TForm2(HWND owner, int screenDpi) {
    RegisterAboutWindowClassOnce();
    // A fixed single border with only the close button; placed where designed, unscaled.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    Handle = CreateWindowExW(WS_EX_CONTROLPARENT, kAboutWindowClass, Widen(ApplicationTitle).c_str(), style, AboutLeft,
                             AboutTop, AboutClientWidth, AboutClientHeight, owner, nullptr, GetModuleHandleW(nullptr),
                             nullptr);
    SetWindowLongPtrW(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(Handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc));

    HWND* made[] = {&Button1, &StaticText1, &StaticText2, &StaticText3};
    for (std::size_t i = 0; i < AboutWindowControls.size(); ++i) {
        const AboutRow& row = AboutWindowControls[i];
        // Button1 is neither default nor cancel; the static texts take no focus.
        const DWORD own = row.isButton ? BS_PUSHBUTTON | WS_TABSTOP : SS_LEFT | SS_NOPREFIX;
        *made[i] = CreateWindowExW(0, row.isButton ? L"BUTTON" : L"STATIC", Widen(row.text).c_str(),
                                   WS_CHILD | WS_VISIBLE | own, 0, 0, 0, 0, Handle,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.isButton ? kButton1 : -1)),
                                   GetModuleHandleW(nullptr), nullptr);
    }
    Layout(screenDpi > 0 ? screenDpi : DpiOfWindow(Handle));

    ClaimKeys(Handle, [this](const MSG& msg) {
        const Key key = KeyOfVirtualKey(msg.wParam);
        if (msg.message != WM_KEYDOWN || (key != Key::Enter && key != Key::Escape))
            return false;
        // Enter presses the focused button; Escape does nothing.
        if (key == Key::Enter && GetFocus() == Button1 && PressesFocusedButton(key, HeldModifiers()))
            Button1Click();
        return true;
    });
}

TForm2::~TForm2() {
    ReleaseKeys(Handle);
    if (IsWindow(Handle))
        DestroyWindow(Handle);
    DeleteObject(font_);
}

void TForm2::Layout(int dpi) {
    // The font grows with the screen's resolution; the layout then grows by how
    // much taller the text became.
    const HFONT previous = font_;
    font_ = CreateWindowFont(AboutFontPixels(dpi));
    scale_ = ScaleAt(dpi);
    const HWND controls[] = {Button1, StaticText1, StaticText2, StaticText3};
    for (std::size_t i = 0; i < AboutWindowControls.size(); ++i) {
        const Placement& p = AboutWindowControls[i].place;
        SetWindowPos(controls[i], nullptr, Scaled(p.left, scale_), Scaled(p.top, scale_), Scaled(p.width, scale_),
                     Scaled(p.height, scale_), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(controls[i], WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    }
    if (previous)
        DeleteObject(previous);
    RECT window;
    GetWindowRect(Handle, &window);
    PlaceWithClient(Handle, window.left, window.top, ClientWidth(), ClientHeight());
}

int TForm2::ClientWidth() const { return Scaled(AboutClientWidth, scale_); }
int TForm2::ClientHeight() const { return Scaled(AboutClientHeight, scale_); }

void TForm2::Button1Click() { ShowWindow(Handle, SW_HIDE); }

void TForm2::Show() {
    ShowWindow(Handle, SW_SHOW);
    SetForegroundWindow(Handle);
    BringWindowToTop(Handle);
    SetFocus(Button1);
}

void TForm2::FormPaint(HDC dc) { DrawLogo(dc, 20, 20); }

LRESULT CALLBACK TForm2::Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* form = reinterpret_cast<TForm2*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(window, message, w, l);
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(w) == kButton1 && HIWORD(w) == BN_CLICKED)
            form->Button1Click();
        return 0;
    case WM_CLOSE: form->Button1Click(); return 0;  // its close button hides it
    case WM_ACTIVATE:
        if (LOWORD(w) != WA_INACTIVE)
            SetFocus(form->Button1);
        return 0;
    case WM_GETDPISCALEDSIZE: {
        // The size it will take at the new resolution, so that the place
        // Windows then suggests fits it.
        const double scale = ScaleAt(LOWORD(w));
        *reinterpret_cast<SIZE*>(l) = WindowSizeForClient(window, Scaled(AboutClientWidth, scale),
                                                          Scaled(AboutClientHeight, scale), LOWORD(w));
        return TRUE;
    }
    case WM_DPICHANGED: {
        // On a monitor of another resolution: scaled for it, at the place Windows suggests.
        const RECT& suggested = *reinterpret_cast<const RECT*>(l);
        form->Layout(HIWORD(w));
        PlaceWithClient(window, suggested.left, suggested.top, form->ClientWidth(), form->ClientHeight());
        return 0;
    }
    case WM_PAINT:
    case WM_PRINTCLIENT:
        PaintClient(window, message, w, [&](HDC dc) { form->FormPaint(dc); });
        return 0;
    default: return DefWindowProcW(window, message, w, l);
    }
}
