#include "app/win32/quorvella_upgrade_utility.h"

#include "app/handler_errors.h"
#include "app/main_window_layout.h"
#include "app/win32/keys.h"
#include "app/win32/message_loop.h"
#include "app/win32/tcgauge.h"
#include "app/win32/unit2.h"
#include "app/win32/win32_text.h"
#include "app/win32/window_dpi.h"
#include "app/win32/window_font.h"
#include "app/win32/window_paint.h"

#include <commctrl.h>

namespace {

constexpr int kFirstId = 100;  // control IDs; clear of IDOK and IDCANCEL, which the dialog manager sends
constexpr UINT_PTR kTimer1 = 1;
constexpr const wchar_t* kMainWindowClass = L"TForm1";

int IdOf(Control control) {
    for (std::size_t i = 0; i < MainWindowControls.size(); ++i)
        if (MainWindowControls[i].control == control)
            return kFirstId + static_cast<int>(i);
    return 0;
}

Key KeyOf(WPARAM key) {
    switch (key) {
    case VK_ESCAPE: return Key::Escape;
    case VK_RETURN: return Key::Enter;
    case VK_SPACE: return Key::Space;
    default: return Key::Other;
    }
}

void RegisterMainWindowClassOnce() {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;  // replaced per window once it is created
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kMainWindowClass;
        return RegisterClassExW(&wc);
    }();
    (void)atom;
}

}  // namespace

KeyModifiers HeldModifiers() {
    return {GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_CONTROL) < 0, GetKeyState(VK_MENU) < 0};
}

Key KeyOfVirtualKey(WPARAM key) { return KeyOf(key); }

TForm1::TForm1(MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid)
    : Behaviour(*this, messages, openDialog, hid), OpenDialog1(openDialog), Messages(messages) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);  // the gauge and the tooltips are common controls
    RegisterMainWindowClassOnce();
    font_ = CreateWindowFont(WindowFontPixels);
    memoBackground_ = GetSysColorBrush(COLOR_WINDOW);

    // A fixed single border with close and minimise; the client area exactly as designed.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_CONTROLPARENT;
    Handle = CreateWindowExW(exStyle, kMainWindowClass, Widen(ApplicationTitle).c_str(), style, 0, 0, MainClientWidth,
                             MainClientHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(Handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc));
    // Centred on the desktop's work area, its frame as drawn on its monitor.
    const SIZE size = WindowSizeForClient(Handle, MainClientWidth, MainClientHeight, DpiOfWindow(Handle));
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    PlaceWithClient(Handle, work.left + (work.right - work.left - size.cx) / 2,
                    work.top + (work.bottom - work.top - size.cy) / 2, MainClientWidth, MainClientHeight);
    handles_[Control::Form1] = Handle;

    Tooltips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle, nullptr,
                               GetModuleHandleW(nullptr), nullptr);

    for (const ControlRow& row : MainWindowControls) {
        const HWND parent = handles_.at(row.parent);
        const std::wstring text = Widen(row.text);
        const auto id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdOf(row.control)));
        const Placement& p = row.place;
        const DWORD child = WS_CHILD | WS_VISIBLE | (row.enabled ? 0 : WS_DISABLED);
        const auto make = [&](DWORD ex, const wchar_t* cls, DWORD own, int w, int h) {
            return CreateWindowExW(ex, cls, text.c_str(), child | own, p.left, p.top, w, h, parent, id,
                                   GetModuleHandleW(nullptr), nullptr);
        };
        HWND made = nullptr;
        switch (row.kind) {
        case ControlKind::PushButton:
            made = make(0, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, p.width, p.height);
            break;
        case ControlKind::GroupBox:
            // A container for its controls: their notices go on to the window.
            made = make(WS_EX_CONTROLPARENT, L"BUTTON", BS_GROUPBOX | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, p.width, p.height);
            SetWindowSubclass(made, GroupProc, 0, reinterpret_cast<DWORD_PTR>(this));
            break;
        case ControlKind::Label: {
            const SIZE size = TextExtent(font_, text.c_str());  // labels size themselves to their text
            made = make(0, L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_NOTIFY, size.cx, size.cy);
            break;
        }
        case ControlKind::SingleLineEdit:
            made = make(WS_EX_CLIENTEDGE, L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, p.width, p.height);
            break;
        case ControlKind::MultiLineEdit:
            // Read-only, word-wrapped (no horizontal scrolling), a vertical scroll bar only.
            made = make(WS_EX_CLIENTEDGE, L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP,
                        p.width, p.height);
            break;
        case ControlKind::Gauge:
            bar = std::make_unique<TCGauge>(parent, IdOf(row.control), RECT{p.left, p.top, p.left + p.width, p.top + p.height},
                                            font_);
            made = bar->Handle;
            break;
        }
        SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        handles_[row.control] = made;
        if (row.tooltip)
            AddTooltip(made, row.tooltip);
    }
    SendMessageW(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    Exit = HandleOf(Control::Exit);
    About = HandleOf(Control::About);
    GroupBox1 = HandleOf(Control::GroupBox1);
    Label1 = HandleOf(Control::Label1);
    Label2 = HandleOf(Control::Label2);
    Label3 = HandleOf(Control::Label3);
    Label4 = HandleOf(Control::Label4);
    Label5 = HandleOf(Control::Label5);
    Edit1 = HandleOf(Control::Edit1);
    Open = HandleOf(Control::Open);
    Memo = HandleOf(Control::Memo);
    GroupBox2 = HandleOf(Control::GroupBox2);
    Upgrade = HandleOf(Control::Upgrade);
    SetMemoLines({});

    ClaimKeys(Handle, [this](const MSG& msg) { return ClaimKey(msg); });
    FormCreate();
}

TForm1::~TForm1() {
    if (!destroyed_ && Handle)
        DestroyWindow(Handle);
    ReleaseKeys(Handle);
    bar.reset();
    DeleteObject(font_);
}

void TForm1::Show() {
    ShowWindow(Handle, SW_SHOW);
    UpdateWindow(Handle);
    SetForegroundWindow(Handle);
}

HWND TForm1::HandleOf(Control control) const { return handles_.at(control); }

Control TForm1::ControlOf(HWND window) const {
    for (const auto& [control, handle] : handles_)
        if (handle == window)
            return control;
    return Control::Form1;
}

CursorShape TForm1::CursorOver(Control control) const {
    // A control whose cursor was never set shows that of its parent.
    for (HWND w = HandleOf(control); w && w != Handle; w = GetParent(w)) {
        const auto set = cursors_.find(ControlOf(w));
        if (set != cursors_.end() && ControlOf(w) != Control::Form1)
            return set->second;
    }
    const auto form = cursors_.find(Control::Form1);
    return form == cursors_.end() ? CursorShape::Default : form->second;
}

void TForm1::AddTooltip(HWND control, const char* text) {
    std::wstring tip = Widen(text);
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = tip.data();
    SendMessageW(Tooltips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    // A disabled control gets no mouse messages; its parent does, so the
    // parent holds a tool over the control's place as well.
    RECT place;
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
    tool.uFlags = TTF_SUBCLASS;
    tool.uId = static_cast<UINT_PTR>(GetDlgCtrlID(control));
    tool.rect = place;
    SendMessageW(Tooltips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

bool TForm1::ClaimKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN)
        return false;
    const Key key = KeyOf(msg.wParam);
    if (key != Key::Escape && key != Key::Enter)
        return false;  // Tab and Space are the dialog manager's
    bool used = false;
    Guarded(Messages, [&] { used = Behaviour.KeyDown(key, HeldModifiers(), ControlOf(GetFocus())); })();
    return used;
}

LRESULT CALLBACK TForm1::Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(window, message, w, l);
    LRESULT result = 0;
    // No error may cross the system's frames: it is shown, and the loop goes on.
    bool handled = false;
    Guarded(form->Messages, [&] {
        result = form->Handle_(message, w, l);
        handled = true;
    })();
    return handled ? result : DefWindowProcW(window, message, w, l);
}

LRESULT CALLBACK TForm1::GroupProc(HWND box, UINT message, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR self) {
    auto* form = reinterpret_cast<TForm1*>(self);
    switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return SendMessageW(form->Handle, message, w, l);
    case WM_NCHITTEST: return HTCLIENT;  // a container, not a see-through frame
    case WM_ERASEBKGND: {
        RECT all;
        GetClientRect(box, &all);
        FillRect(reinterpret_cast<HDC>(w), &all, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    case WM_NCDESTROY: RemoveWindowSubclass(box, GroupProc, 0); break;
    default: break;
    }
    return DefSubclassProc(box, message, w, l);
}

LRESULT TForm1::Handle_(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(w) == BN_CLICKED)
            Command(LOWORD(w));
        return 0;
    case WM_TIMER:
        if (w == kTimer1)
            Timer1Timer();
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(l) == HTCLIENT && CursorOver(ControlOf(reinterpret_cast<HWND>(w))) == CursorShape::Wait) {
            ::SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        return DefWindowProcW(Handle, message, w, l);
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(l) == Memo) {  // read-only, but a text area all the same
            SetBkColor(reinterpret_cast<HDC>(w), GetSysColor(COLOR_WINDOW));
            SetTextColor(reinterpret_cast<HDC>(w), GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(memoBackground_);
        }
        return DefWindowProcW(Handle, message, w, l);
    case WM_PAINT:
    case WM_PRINTCLIENT:
        PaintClient(Handle, message, w, [&](HDC dc) { FormPaint(dc); });
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(w) == WA_INACTIVE) {
            if (const HWND focus = GetFocus(); focus && GetAncestor(focus, GA_ROOT) == Handle)
                lastFocus_ = focus;
            return 0;
        }
        // The first activation gives Exit the focus; later ones (after the Open
        // dialog, a message box, another program) give it back to the control
        // that had it, so that Enter never presses Exit by itself.
        if (!GetFocus() || GetAncestor(GetFocus(), GA_ROOT) != Handle) {
            if (!activated_)
                SetFocus(Exit);
            else if (lastFocus_ && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_))
                SetFocus(lastFocus_);
        }
        activated_ = true;
        return 0;
    case WM_GETDPISCALEDSIZE:
        // Laid out in pixels on every monitor: only the frame changes with the resolution.
        *reinterpret_cast<SIZE*>(l) = WindowSizeForClient(Handle, MainClientWidth, MainClientHeight, LOWORD(w));
        return TRUE;
    case WM_DPICHANGED: {
        // Moved to a monitor of another resolution, or its scale changed: the
        // place Windows suggests is taken, the client area stays as designed.
        const RECT& suggested = *reinterpret_cast<const RECT*>(l);
        PlaceWithClient(Handle, suggested.left, suggested.top, MainClientWidth, MainClientHeight);
        return 0;
    }
    case WM_QUERYENDSESSION:
        // Shutting down, logging off or restarting halfway through a product's
        // firmware would leave it half-flashed: refused while a transfer runs.
        return holdingOffShutdown_ ? FALSE : TRUE;
    case WM_CLOSE:
        if (Behaviour.CloseQuery())
            DestroyWindow(Handle);
        return 0;
    case WM_DESTROY:
        destroyed_ = true;
        KillTimer(Handle, kTimer1);
        PostQuitMessage(0);
        return 0;
    default: return DefWindowProcW(Handle, message, w, l);
    }
}

void TForm1::Command(int id) {
    switch (static_cast<std::size_t>(id - kFirstId) < MainWindowControls.size()
                ? MainWindowControls[static_cast<std::size_t>(id - kFirstId)].control
                : Control::Form1) {
    case Control::Exit: ExitClick(); break;
    case Control::About: AboutClick(); break;
    case Control::Open: OpenClick(); break;
    case Control::Upgrade: UpgradeClick(); break;
    default: break;
    }
}

void TForm1::FormPaint(HDC dc) { DrawLogo(dc, 20, 10); }

void TForm1::SetEnabled(Control control, bool enabled) { EnableWindow(HandleOf(control), enabled); }

bool TForm1::IsEnabled(Control control) const { return IsWindowEnabled(HandleOf(control)) != FALSE; }

void TForm1::SetCaption(Control control, const std::string& text) {
    const HWND w = HandleOf(control);
    const std::wstring shown = Widen(text);
    SetWindowTextW(w, shown.c_str());
    if (control != Control::Edit1) {
        const SIZE size = TextExtent(font_, shown.c_str());
        SetWindowPos(w, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void TForm1::SetMemoLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    SetWindowTextW(Memo, Widen(text).c_str());
}

void TForm1::SetCursor(Control control, CursorShape cursor) {
    cursors_[control] = cursor;
    ShowPointerNow();
}

void TForm1::ShowPointerNow() {
    // The system sets the cursor when the pointer moves; set it now.
    POINT at;
    if (!GetCursorPos(&at))
        return;
    const HWND under = WindowFromPoint(at);
    if (!under || GetAncestor(under, GA_ROOT) != Handle)
        return;
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

void TForm1::SetGauge(int percent) { bar->SetProgress(percent); }

void TForm1::StartTimer(int ms) {
    timerRunning_ = true;
    timerInterval_ = ms;
    SetTimer(Handle, kTimer1, static_cast<UINT>(ms), nullptr);
}

void TForm1::StopTimer() {
    timerRunning_ = false;
    KillTimer(Handle, kTimer1);
}

void TForm1::ProcessPendingEvents() { DispatchPendingMessages(); }

void TForm1::Press(Control button) {
    SendMessageW(Handle, WM_COMMAND, MAKEWPARAM(IdOf(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(HandleOf(button)));
}

void TForm1::ShowAbout() {
    if (AboutWindow)
        AboutWindow->Show();
}

void TForm1::Close() {
    if (!destroyed_)
        SendMessageW(Handle, WM_CLOSE, 0, 0);
}

void TForm1::HoldOffShutdown(bool hold) {
    if (hold == holdingOffShutdown_)
        return;
    holdingOffShutdown_ = hold;
    if (hold) {
        // The reason shows on the shut-down screen; the system and its disk
        // stay awake meanwhile.
        ShutdownBlockReasonCreate(Handle, L"Upgrading firmware; do not switch off");
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    } else {
        ShutdownBlockReasonDestroy(Handle);
        SetThreadExecutionState(ES_CONTINUOUS);
    }
}
