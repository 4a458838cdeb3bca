#include "app/win32/unit2.h"

#include "app/about_window_layout.h"
#include "app/main_window.h"
#include "app/win32/keys.h"
#include "app/win32/logo_image.h"
#include "app/win32/message_loop.h"
#include "app/win32/win32_text.h"
#include "app/win32/window_font.h"
#include "app/win32/window_paint.h"

namespace {

constexpr const wchar_t* kClassName = L"TForm2";
constexpr int kButton1 = 100;

void RegisterClassOnce() {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc);
    }();
    (void)atom;
}

int ScreenDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : DesignedDpi;
}

}  // namespace

TForm2::TForm2(HWND owner, int screenDpi) {
    RegisterClassOnce();
    if (screenDpi <= 0)
        screenDpi = ScreenDpi();
    // The font grows with the screen's resolution; the layout then grows by how
    // much taller the text became.
    font_ = CreateWindowFont(AboutFontPixels(screenDpi));
    const HFONT designed = CreateWindowFont(WindowFontPixels);
    scale_ = static_cast<double>(TextHeight(font_)) / TextHeight(designed);
    DeleteObject(designed);

    // A fixed single border with only the close button; placed where designed, unscaled.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, Scaled(AboutClientWidth, scale_), Scaled(AboutClientHeight, scale_)};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    Handle = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, Widen(ApplicationTitle).c_str(), style, AboutLeft,
                             AboutTop, frame.right - frame.left, frame.bottom - frame.top, owner, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(Handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc));

    HWND* made[] = {&Button1, &StaticText1, &StaticText2, &StaticText3};
    for (std::size_t i = 0; i < AboutWindowControls.size(); ++i) {
        const AboutRow& row = AboutWindowControls[i];
        // Button1 is neither default nor cancel; the static texts take no focus.
        const DWORD own = row.isButton ? BS_PUSHBUTTON | WS_TABSTOP : SS_LEFT | SS_NOPREFIX;
        *made[i] = CreateWindowExW(0, row.isButton ? L"BUTTON" : L"STATIC", Widen(row.text).c_str(),
                                   WS_CHILD | WS_VISIBLE | own, Scaled(row.place.left, scale_),
                                   Scaled(row.place.top, scale_), Scaled(row.place.width, scale_),
                                   Scaled(row.place.height, scale_), Handle,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.isButton ? kButton1 : -1)),
                                   GetModuleHandleW(nullptr), nullptr);
        SendMessageW(*made[i], WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }

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
    case WM_PAINT:
    case WM_PRINTCLIENT:
        PaintClient(window, message, w, [&](HDC dc) { form->FormPaint(dc); });
        return 0;
    default: return DefWindowProcW(window, message, w, l);
    }
}
