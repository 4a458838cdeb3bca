// The Win32 windows, driven in-process under Wine: their controls read back,
// the keys, packages chosen from real files, whole attempts on the real timer
// against the simulated product, the gauge's and the logo's pixels, the About
// window's lifetime, and the system's own dialog and message box.

#include "app/win32/message_loop.h"
#include "app/win32/quorvella_upgrade_utility.h"
#include "app/win32/tcgauge.h"
#include "app/win32/unit2.h"
#include "app/win32/window_font.h"
#include "app/win32/win32_message_display.h"
#include "app/win32/win32_open_dialog.h"
#include "app/win32/win32_text.h"
#include "device/device_discovery.h"
#include "support/fake_main_window.h"
#include "support/held_file.h"
#include "support/package_files.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;
const ShownMessage kSuccess{"Firmware upgraded successfully", "OK", MessageStyle::Plain};

// Lets the window's messages run, as the event loop would; a quit is taken
// out of the queue and remembered.
bool Pump(std::chrono::milliseconds for_ = 0ms) {
    bool quit = false;
    const auto until = std::chrono::steady_clock::now() + for_;
    do {
        if (!DispatchPendingMessages()) {
            MSG m;
            while (PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            }
            quit = true;
        }
        if (for_ > 0ms)
            Sleep(5);
    } while (std::chrono::steady_clock::now() < until);
    return quit;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        Pump();
        Sleep(2);
    }
    return true;
}

RECT PlaceInParent(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string TooltipOf(HWND tips, HWND control) {
    wchar_t text[256] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = text;
    SendMessageW(tips, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
    return Narrow(text);
}

// A snapshot of a window's client area, drawn by the window itself.
struct Snapshot {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB

    explicit Snapshot(HWND w, bool printClient = true) {
        RECT r;
        GetClientRect(w, &r);
        width = r.right;
        height = r.bottom;
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        const HDC screen = GetDC(nullptr);
        const HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        const HDC dc = CreateCompatibleDC(screen);
        const HGDIOBJ old = SelectObject(dc, dib);
        SendMessageW(w, printClient ? WM_PRINTCLIENT : WM_PAINT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        GdiFlush();
        const auto* p = static_cast<const std::uint32_t*>(bits);
        pixels.assign(p, p + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(dib);
        ReleaseDC(nullptr, screen);
    }
    std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)] & 0xFFFFFF; }
};

// The screen's resolution in this run: 96 dpi, or what WINE_RUN_DPI asked of
// the Wine prefix (Wine hands the program the environment it was started in).
int ScreenDpiOfThisRun() {
    wchar_t set[16] = L"";
    return GetEnvironmentVariableW(L"WINE_RUN_DPI", set, 16) > 0 ? _wtoi(set) : 96;
}

// The About window grows on a screen of `dpi`: its font by dpi / 96, then its
// designed lengths by how much taller a line of that font is than 13 pixels.
int AboutLengthAt(int designed, int dpi) {
    const HFONT font = CreateFontW(-MulDiv(11, dpi, 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                   OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                                   L"MS Sans Serif");
    const int height = TextHeight(font);
    DeleteObject(font);
    return MulDiv(designed, height, 13);
}

SIZE ClientOf(HWND w) {
    RECT r;
    GetClientRect(w, &r);
    return {r.right, r.bottom};
}

std::uint32_t Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

class Win32Window : public ::testing::Test {
protected:
    TempFolder folder;
    PackageContents package = SamplePackage();
    RecordingMessages messages;
    ScriptedOpenDialog dialog;
    SimulatedHid hid;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        PackageVendorId = PackageProductId = 0;
        RetryPending = false;
        form = std::make_unique<TForm1>(messages, dialog, hid);
        form->Show();
        Pump();
    }
    void TearDown() override {
        form.reset();
        Pump();
        DeviceHandle.reset();
    }

    void Click(HWND button) {
        SendMessageW(button, BM_CLICK, 0, 0);
        Pump();
    }
    void Choose() {
        WriteBytes(folder / "p.qeff", BuildPackage(package));
        dialog.Confirm(Utf8(folder / "p.qeff"));
        Click(form->Open);
        ASSERT_TRUE(IsWindowEnabled(form->Upgrade));
    }
    SimulatedInterface Product() const { return ProductInterface(package); }
    // A key pressed on the focused control, through the program's message loop.
    bool PressKey(WPARAM key) {
        PostMessageW(GetFocus(), WM_KEYDOWN, key, 1);
        PostMessageW(GetFocus(), WM_KEYUP, key, 0xC0000001);
        return Pump();
    }
};

TEST_F(Win32Window, EveryControlStandsWhereItBelongs) {
    TForm1& f = *form;
    struct Row {
        HWND w, parent;
        RECT place;
        const char* text;
        const char* tip;
        bool enabled;
    };
    const std::vector<Row> rows = {
        {f.Exit, f.Handle, {16, 384, 91, 409}, "Exit", "Exit Quorvella USB Upgrade Utility", true},
        {f.About, f.Handle, {432, 384, 506, 409}, "About", "About Quorvella USB Upgrade Utility", true},
        {f.GroupBox1, f.Handle, {16, 64, 505, 297}, "Firmware File ", "", true},
        {f.Edit1, f.GroupBox1, {80, 25, 433, 45}, "", "QEFF file with firmware to upgrade", false},
        {f.Open, f.GroupBox1, {440, 24, 465, 46}, "...", "Chose QEFF file", true},
        {f.Memo, f.GroupBox1, {24, 144, 465, 217}, "", "QEFF file important notes", true},
        {f.GroupBox2, f.Handle, {16, 304, 505, 369}, "Upgrade ", "", true},
        {f.bar->Handle, f.GroupBox2, {24, 24, 337, 49}, "", "Upgrade progress bar", true},
        {f.Upgrade, f.GroupBox2, {366, 24, 465, 49}, "Upgrade", "Press to upgrade firmware in your product", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(GetParent(row.w), row.parent);
        const RECT r = PlaceInParent(row.w);
        EXPECT_EQ(r.left, row.place.left);
        EXPECT_EQ(r.top, row.place.top);
        EXPECT_EQ(r.right, row.place.right);
        EXPECT_EQ(r.bottom, row.place.bottom);
        EXPECT_EQ(WindowText(row.w), row.text);
        EXPECT_EQ(TooltipOf(f.Tooltips, row.w), row.tip);
        EXPECT_EQ(IsWindowEnabled(row.w) != FALSE, row.enabled);
    }
    struct LabelRow {
        HWND w;
        POINT at;
        const char *text, *tip;
    };
    for (const LabelRow& l : std::vector<LabelRow>{
             {f.Label1, {24, 29}, "File Name:", ""},
             {f.Label2, {24, 56}, "Product Name:", "Product name this QEFF file was build for"},
             {f.Label3, {24, 80}, "Product Code:", "Product code this QEFF file was build for"},
             {f.Label4, {24, 104}, "Firmware Code:", "QEFF file code"},
             {f.Label5, {24, 128}, "Notes:", ""}}) {
        SCOPED_TRACE(l.text);
        const RECT r = PlaceInParent(l.w);
        EXPECT_EQ(r.left, l.at.x);
        EXPECT_EQ(r.top, l.at.y);
        EXPECT_EQ(r.bottom - r.top, 13) << "one line of the 11-pixel face";
        EXPECT_GT(r.right - r.left, 5 * static_cast<int>(std::string(l.text).size()) / 2) << "as wide as its text";
        EXPECT_EQ(WindowText(l.w), l.text);
        EXPECT_EQ(TooltipOf(f.Tooltips, l.w), l.tip);
    }

    const LONG_PTR memo = GetWindowLongPtrW(f.Memo, GWL_STYLE);
    EXPECT_TRUE(memo & ES_MULTILINE);
    EXPECT_TRUE(memo & ES_READONLY);
    EXPECT_TRUE(memo & WS_VSCROLL);
    EXPECT_FALSE(memo & WS_HSCROLL);
    EXPECT_FALSE(memo & ES_AUTOHSCROLL) << "lines wrap";
    EXPECT_EQ(WindowText(f.Handle), "Quorvella USB Upgrade Utility");
    EXPECT_FALSE(f.TimerRunning());
}

TEST_F(Win32Window, TheWindowIsFixedCentredAndInItsFont) {
    RECT client;
    GetClientRect(form->Handle, &client);
    EXPECT_EQ(client.right, 528);
    EXPECT_EQ(client.bottom, 424);
    const LONG_PTR style = GetWindowLongPtrW(form->Handle, GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "not resizable";

    RECT work, window;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(form->Handle, &window);
    EXPECT_NEAR((window.left + window.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((window.top + window.bottom) / 2, (work.top + work.bottom) / 2, 1);

    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(form->Exit, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_EQ(Narrow(font.lfFaceName), "MS Sans Serif");
    EXPECT_EQ(font.lfHeight, -11);
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), GetPixel(GetDC(form->Handle), 5, 300) & 0xFFFFFF)
        << "the button face behind the controls";

    // Fault caught: on a monitor of another resolution the window took the
    // size Windows suggests, stretched by the new resolution.
    RECT suggested{40, 30, 40 + 801, 30 + 673};  // as Windows suggests it for 144 dpi
    SendMessageW(form->Handle, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(form->Handle, &window);
    EXPECT_EQ(window.left, 40) << "at the place suggested";
    EXPECT_EQ(window.top, 30);
    EXPECT_EQ(ClientOf(form->Handle).cx, 528) << "in its own size";
    EXPECT_EQ(ClientOf(form->Handle).cy, 424);
}

TEST_F(Win32Window, TabVisitsTheControlsInOrderAndExitHasTheFocus) {
    EXPECT_EQ(GetFocus(), form->Exit);
    const auto order = [&] {
        std::vector<HWND> seen;
        HWND at = form->Exit;
        for (int i = 0; i < 5; ++i)
            seen.push_back(at = GetNextDlgTabItem(form->Handle, at, FALSE));
        return seen;
    };
    // Disabled Edit1 and Upgrade are passed over.
    EXPECT_EQ(order(), (std::vector<HWND>{form->About, form->Open, form->Memo, form->Exit, form->About}));
    EnableWindow(form->Upgrade, TRUE);
    EXPECT_EQ(order(), (std::vector<HWND>{form->About, form->Open, form->Memo, form->Upgrade, form->Exit}));
}

TEST_F(Win32Window, EscapeQuitsUnlessInTheNotesOrDuringAnAttempt) {
    SetFocus(form->Memo);
    EXPECT_FALSE(PressKey(VK_ESCAPE)) << "Escape in the notes does nothing";
    EXPECT_TRUE(IsWindow(form->Handle));

    Choose();
    Click(form->Upgrade);  // Exit is disabled during the attempt
    SetFocus(form->About);
    EXPECT_FALSE(PressKey(VK_ESCAPE));
    ASSERT_TRUE(PumpUntil([&] { return !messages.shown.empty(); }, 5000ms));  // no product: the warning

    SetFocus(form->Open);
    EXPECT_TRUE(PressKey(VK_ESCAPE)) << "Escape presses Exit";
    EXPECT_FALSE(IsWindow(form->Handle));
}

TEST_F(Win32Window, EnterRightAfterStartPressesExit) {
    EXPECT_TRUE(PressKey(VK_RETURN));
    EXPECT_FALSE(IsWindow(form->Handle));
}

TEST_F(Win32Window, ChoosingPackagesFromRealFiles) {
    PackageContents c = SamplePackage();
    c.notes = "one\r\ntwo";
    WriteBytes(folder / "good.qeff", BuildPackage(c));
    dialog.Confirm(Utf8(folder / "good.qeff"));
    Click(form->Open);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(WindowText(form->Edit1), Utf8(folder / "good.qeff"));
    EXPECT_EQ(WindowText(form->Label3), "Product Code:  QSH-200");
    const RECT label = PlaceInParent(form->Label3);
    EXPECT_GT(label.right - label.left, PlaceInParent(form->Label5).right - 24) << "the label grew with its text";
    // A caption exactly as wide as its text: the system's word wrap would hide a word of it.
    EXPECT_EQ(GetWindowLongPtrW(form->Label3, GWL_STYLE) & SS_TYPEMASK, SS_LEFTNOWORDWRAP);
    EXPECT_EQ(WindowText(form->Memo), "one\r\ntwo");
    EXPECT_TRUE(IsWindowEnabled(form->Upgrade));

    const std::filesystem::path foreign = folder.Path() / std::filesystem::path(u8"\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430.qeff");
    WriteBytes(foreign, BuildPackage(SamplePackage()));
    dialog.Confirm(Utf8(foreign));
    Click(form->Open);
    EXPECT_TRUE(messages.shown.empty()) << "a name outside the ANSI code page opens";
    EXPECT_EQ(WindowText(form->Edit1), Utf8(foreign));

    auto bytes = BuildPackage(SamplePackage());
    bytes[0] = 'X';
    WriteBytes(folder / "wrong.qeff", bytes);
    dialog.Confirm(Utf8(folder / "wrong.qeff"));
    Click(form->Open);
    EXPECT_EQ(messages.shown.back(), (ShownMessage{"Wrong file format!", "File Error", MessageStyle::Plain}));
    EXPECT_EQ(WindowText(form->Edit1), "");
    EXPECT_EQ(WindowText(form->Memo), "Read before upgrading.\r\nKeep the product plugged in.");

    const ShownMessage cantOpen{"Can't open file!", "File Error", MessageStyle::Plain};
    dialog.Confirm(Utf8(folder / "missing.qeff"));
    Click(form->Open);
    EXPECT_EQ(messages.shown.back(), cantOpen);
    EXPECT_EQ(WindowText(form->Memo), "");
    {
        HeldFile other(folder / "good.qeff");
        ASSERT_TRUE(other.Held());
        dialog.Confirm(Utf8(folder / "good.qeff"));
        Click(form->Open);
    }
    EXPECT_EQ(messages.shown.back(), cantOpen);
    EXPECT_FALSE(IsWindowEnabled(form->Upgrade));
    EXPECT_EQ(messages.shown.size(), 3u);
}

// Asks whether the session may end each time the gauge paints a value between
// its ends.
struct WhilePainting {
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m == WM_PAINT && form->bar->Progress() > 0 && form->bar->Progress() < 100)
            endSession = SendMessageW(form->Handle, WM_QUERYENDSESSION, 0, 0);
        return CallWindowProcW(original, w, m, wp, lp);
    }
    static inline TForm1* form = nullptr;
    static inline WNDPROC original = nullptr;
    static inline LRESULT endSession = -1;
};

TEST_F(Win32Window, AnAttemptOnTheRealTimerUpgradesTheProduct) {
    package.firmware = CountingPayload(20000);
    Choose();
    const std::size_t product = hid.Attach(Product());
    RECT upgrade;
    GetWindowRect(form->Upgrade, &upgrade);
    SetCursorPos(upgrade.left + 5, upgrade.top + 5);

    bool busy = false;
    int gaugeAtSuccess = -1;
    LRESULT endSessionAtTheBox = -1;
    messages.onShow = [&](const ShownMessage&) {
        busy = !IsWindowEnabled(form->Exit) && !IsWindowEnabled(form->Open) && IsWindowEnabled(form->About);
        gaugeAtSuccess = form->bar->Progress();
        endSessionAtTheBox = SendMessageW(form->Handle, WM_QUERYENDSESSION, 0, 0);
    };
    // Fault caught: Windows shutting down, logging off or sleeping halfway
    // through a product's firmware without a word; or kept from it while the
    // outcome's box waits for the user. (The reason given to Windows is not
    // read back: Wine's ShutdownBlockReasonQuery never returns.) Asked as the
    // gauge paints a value between its ends, while the transfer lets window
    // messages run.
    WhilePainting::form = form.get();
    WhilePainting::endSession = -1;
    WhilePainting::original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(form->bar->Handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WhilePainting::Proc)));
    SendMessageW(form->Upgrade, BM_CLICK, 0, 0);
    for (Control c : {Control::GroupBox1, Control::GroupBox2, Control::Form1, Control::Upgrade, Control::Edit1,
                      Control::Memo, Control::Open, Control::About, Control::Label2, Control::bar})
        EXPECT_EQ(form->CursorOver(c), CursorShape::Wait) << FakeWindow::Name(c);
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT)) << "shown without moving the pointer";
    EXPECT_TRUE(form->TimerRunning());
    EXPECT_EQ(form->TimerInterval(), 1);
    EXPECT_TRUE(messages.shown.empty());

    ASSERT_TRUE(PumpUntil([&] { return !messages.shown.empty(); }, 10000ms));
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kSuccess});
    EXPECT_TRUE(busy);
    EXPECT_EQ(gaugeAtSuccess, 100);
    SetWindowLongPtrW(form->bar->Handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WhilePainting::original));
    EXPECT_EQ(WhilePainting::endSession, FALSE) << "the session may not end during the transfer";
    EXPECT_EQ(endSessionAtTheBox, TRUE) << "and may once the firmware is written, while its box waits";
    EXPECT_EQ(hid.Product(product).Payload(), package.firmware);
    EXPECT_EQ(hid.OpenHandles(), 0);
    EXPECT_EQ(form->bar->Progress(), 0);
    EXPECT_EQ(form->CursorOver(Control::Upgrade), CursorShape::Default);
    EXPECT_TRUE(IsWindowEnabled(form->Exit));
    EXPECT_TRUE(IsWindowEnabled(form->Upgrade));
    EXPECT_TRUE(IsWindowEnabled(form->Memo));

    auto refusing = Product();
    refusing.product.answers = {BlockAnswer::Code(1), BlockAnswer::Code(5)};
    hid.DetachAll();
    hid.Attach(refusing);
    Click(form->Upgrade);
    ASSERT_TRUE(PumpUntil([&] { return messages.shown.size() == 2; }, 10000ms));
    EXPECT_EQ(messages.shown.back(), (ShownMessage{"Memory address error!", "Error", MessageStyle::Plain}));
}

TEST_F(Win32Window, BothWarningsComeTwoSecondsAfterThePress) {
    Choose();
    for (bool others : {false, true}) {
        hid.DetachAll();
        if (others)
            hid.Attach(SimulatedInterface{});
        const std::size_t before = messages.shown.size();
        const auto pressed = std::chrono::steady_clock::now();
        Click(form->Upgrade);
        ASSERT_TRUE(PumpUntil([&] { return messages.shown.size() > before; }, 5000ms));
        EXPECT_GE(std::chrono::steady_clock::now() - pressed, 2000ms);
        EXPECT_EQ(messages.shown.back().style, others ? MessageStyle::Exclamation : MessageStyle::Information);
        EXPECT_FALSE(RetryPending);
        EXPECT_TRUE(IsWindowEnabled(form->Upgrade));
    }
}

TEST_F(Win32Window, TheGaugeDrawsItsValueInvertedOverBothParts) {
    TCGauge& bar = *form->bar;
    char cls[64] = {};
    GetClassNameA(bar.Handle, cls, sizeof cls);
    EXPECT_STREQ(cls, "msctls_progress32") << "a progress bar to accessibility tools";

    bar.SetProgress(150);
    EXPECT_EQ(bar.Progress(), 100);
    bar.SetProgress(-3);
    EXPECT_EQ(bar.Progress(), 0);
    bar.SetProgress(50);
    EXPECT_EQ(SendMessageW(bar.Handle, PBM_GETPOS, 0, 0), 50) << "and its value";
    const int paints = bar.Paints();
    bar.SetProgress(50);
    EXPECT_EQ(bar.Paints(), paints) << "no repaint when the value stays";
    bar.SetProgress(51);
    EXPECT_EQ(bar.Paints(), paints + 1) << "a repaint at once when it changes";
    bar.SetProgress(50);

    // Fault caught: the bar in the colour the system reports for the desktop,
    // which Windows 10 and later report as black. (For this test the system
    // reports black; the change is the session's, not the prefix's.)
    struct BlackDesktop {
        const int element = COLOR_DESKTOP;
        const COLORREF before = GetSysColor(COLOR_DESKTOP);
        BlackDesktop() {
            const COLORREF black = RGB(0, 0, 0);
            SetSysColors(1, &element, &black);
        }
        ~BlackDesktop() { SetSysColors(1, &element, &before); }
    } blackDesktop;
    ASSERT_EQ(GetSysColor(COLOR_DESKTOP), RGB(0, 0, 0));
    InvalidateRect(bar.Handle, nullptr, TRUE);
    const Snapshot s(bar.Handle);
    const std::uint32_t desktop = 0x3A6EA5u;  // the classic desktop colour
    EXPECT_EQ(s.At(0, 0), 0x000000u) << "border";
    EXPECT_EQ(s.At(s.width - 1, s.height / 2), 0x000000u);
    EXPECT_EQ(s.At(3, 3), desktop) << "filled from the left";
    EXPECT_EQ(s.At(s.width - 4, 3), 0xFFFFFFu) << "white beyond the value";
    int invertedFill = 0, invertedWhite = 0;
    for (int y = 1; y < s.height - 1; ++y)
        for (int x = 1; x < s.width - 1; ++x) {
            const std::uint32_t p = s.At(x, y);
            invertedFill += p == (~desktop & 0xFFFFFF);
            invertedWhite += p == 0x000000u;
        }
    EXPECT_GT(invertedFill, 5) << "text over the filled part is its inverse";
    EXPECT_GT(invertedWhite, 5) << "text over the empty part is black";

    // Fault caught: under high contrast the gauge kept its fixed colours.
    // Wine cannot turn high contrast on, so the colours are checked as chosen.
    EXPECT_EQ(GaugeColoursFor(false), (GaugeColours{RGB(0, 0, 0), RGB(255, 255, 255), RGB(0x3A, 0x6E, 0xA5)}));
    EXPECT_EQ(GaugeColoursFor(true), (GaugeColours{GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW),
                                                   GetSysColor(COLOR_HIGHLIGHT)}));
}

TEST_F(Win32Window, BothWindowsDrawTheLogoLoadedAtStartAtItsOwnSize) {
    constexpr int kLogoWidth = 200, kLogoHeight = 48;  // the size of assets/LogoQuorvella.png
    // The logo of the build, loaded from the current directory when the window is built.
    const auto logo = std::filesystem::path(QEFF_LOGO_FILE);
    const auto previous = std::filesystem::current_path();
    std::filesystem::copy_file(logo, folder / "LogoQuorvella.png");
    std::filesystem::current_path(folder.Path());
    form.reset();
    form = std::make_unique<TForm1>(messages, dialog, hid);
    TForm2 about(form->Handle, 96);
    std::filesystem::current_path(previous);  // the logo stays: it was loaded once

    const Snapshot main(form->Handle), box(about.Handle);
    const std::uint32_t face = Rgb(GetSysColor(COLOR_BTNFACE));
    EXPECT_NE(main.At(20 + 10, 10 + 10), face) << "the logo at (20, 10)";
    EXPECT_EQ(main.At(19, 10 + 10), face) << "nothing left of it";
    EXPECT_NE(box.At(20 + 10, 20 + 10), face) << "the logo at (20, 20) of the About window";
    // Drawn at the picture's own size: every pixel of it inside its box, and
    // some of them near the box's far corner.
    int right = 0, bottom = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < main.width; ++x)
            if (main.At(x, y) != face) {
                EXPECT_TRUE(x >= 20 && x < 20 + kLogoWidth && y >= 10 && y < 10 + kLogoHeight) << x << "," << y;
                right = std::max(right, x);
                bottom = std::max(bottom, y);
            }
    EXPECT_GT(right, 20 + kLogoWidth * 3 / 4);
    EXPECT_GT(bottom, 10 + kLogoHeight * 3 / 4);

    form.reset();  // started and shut down with the main window; a window without a file shows none
    form = std::make_unique<TForm1>(messages, dialog, hid);
    const Snapshot none(form->Handle);
    EXPECT_EQ(none.At(20 + 10, 10 + 10), face);
    EXPECT_TRUE(messages.shown.empty()) << "and says nothing";
}

TEST_F(Win32Window, AboutShowsOneWindowThatOkAndItsCloseButtonHide) {
    TForm2 about(form->Handle, 96);
    form->AboutWindow = &about;
    EXPECT_FALSE(IsWindowVisible(about.Handle)) << "created hidden";
    RECT client;
    GetClientRect(about.Handle, &client);
    EXPECT_EQ(client.right, 312);
    EXPECT_EQ(client.bottom, 244);
    RECT window;
    GetWindowRect(about.Handle, &window);
    EXPECT_EQ(window.left, 478);
    EXPECT_EQ(window.top, 294);
    EXPECT_FALSE(GetWindowLongPtrW(about.Handle, GWL_STYLE) & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(WindowText(about.StaticText2), "Version 1.10");
    EXPECT_EQ(PlaceInParent(about.Button1).left, 120);

    Click(form->About);
    EXPECT_TRUE(IsWindowVisible(about.Handle));
    EXPECT_TRUE(IsWindowEnabled(form->Handle)) << "not modal";
    EXPECT_EQ(GetFocus(), about.Button1);
    EXPECT_FALSE(PressKey(VK_ESCAPE));
    EXPECT_TRUE(IsWindowVisible(about.Handle)) << "Escape does nothing";
    PressKey(VK_RETURN);
    EXPECT_FALSE(IsWindowVisible(about.Handle)) << "Enter presses OK, which hides it";

    const HWND same = about.Handle;
    Click(form->About);
    EXPECT_EQ(about.Handle, same);
    EXPECT_TRUE(IsWindowVisible(about.Handle));
    SendMessageW(about.Handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(about.Handle));
    EXPECT_TRUE(IsWindow(about.Handle)) << "hidden, never destroyed";

    TForm2 large(form->Handle, 144);
    EXPECT_GT(large.Scale(), 1.2) << "grows with the screen's resolution";
    GetWindowRect(large.Handle, &window);
    EXPECT_EQ(window.left, 478) << "but stays where it was placed";

    // Faults caught: an About window that did not follow its monitor's
    // resolution (one of 144 dpi in the 144-dpi run), or kept its size when
    // it moved to a monitor of another resolution, or left the place Windows
    // suggested for it there.
    const int dpi = ScreenDpiOfThisRun();
    TForm2 onScreen(form->Handle);
    EXPECT_EQ(ClientOf(onScreen.Handle).cx, AboutLengthAt(312, dpi)) << dpi << " dpi";
    EXPECT_EQ(ClientOf(onScreen.Handle).cy, AboutLengthAt(244, dpi));
    EXPECT_NEAR(ClientOf(onScreen.Handle).cx, 312 * dpi / 96, 312 / 13) << "about dpi / 96 times as large";
    for (const int moved : {dpi * 3 / 2, dpi}) {
        SCOPED_TRACE(moved);
        RECT suggested{100, 80, 100 + 312 * moved / 96, 80 + 270 * moved / 96};
        SendMessageW(onScreen.Handle, WM_DPICHANGED, MAKEWPARAM(moved, moved), reinterpret_cast<LPARAM>(&suggested));
        GetWindowRect(onScreen.Handle, &window);
        EXPECT_EQ(window.left, 100);
        EXPECT_EQ(window.top, 80);
        EXPECT_EQ(ClientOf(onScreen.Handle).cx, AboutLengthAt(312, moved));
        EXPECT_EQ(ClientOf(onScreen.Handle).cy, AboutLengthAt(244, moved));
        EXPECT_EQ(PlaceInParent(onScreen.Button1).left, AboutLengthAt(120, moved)) << "and its controls";
    }
}

// Runs `act` from a thread timer while a modal box or dialog of this thread is up.
void WhileModal(std::function<bool()> act) {
    static std::function<bool()> pending;
    pending = std::move(act);
    const UINT_PTR id = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
        if (pending && pending())
            pending = nullptr;
    });
    (void)id;
}

// Faults caught: after a message box the focus landed on Exit, so that Enter,
// pressed as after dismissing a box, closed the program; a box owned by the
// active window (About, or none while another program is in front) that left
// the main window usable, or showed on a taskbar button of its own.
TEST_F(Win32Window, ABoxBelongsToTheWindowAndGivesTheFocusBackWhereItWas) {
    TForm2 about(form->Handle);
    form->AboutWindow = &about;
    Win32MessageDisplay boxes;
    boxes.Owner = form->Handle;
    HWND owner = nullptr;
    bool formEnabled = true, aboutEnabled = true;
    const auto showBox = [&] {
        WhileModal([&] {
            const HWND box = FindWindowW(L"#32770", L"Warning");
            if (!box)
                return false;
            owner = GetWindow(box, GW_OWNER);
            formEnabled = IsWindowEnabled(form->Handle);
            aboutEnabled = IsWindowEnabled(about.Handle);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return true;
        });
        boxes.Show("Device not recognized, vendor ID or product ID incorrect", "Warning", MessageStyle::Exclamation);
        Pump(50ms);
    };

    SetFocus(form->Open);
    showBox();
    EXPECT_EQ(owner, form->Handle);
    EXPECT_FALSE(formEnabled);
    EXPECT_EQ(GetFocus(), form->Open) << "the focus back where it was";
    EXPECT_FALSE(PressKey(VK_RETURN) && !IsWindow(form->Handle));
    ASSERT_TRUE(IsWindow(form->Handle)) << "Enter pressed Open, not Exit";

    Click(form->About);
    ASSERT_EQ(GetActiveWindow(), about.Handle);
    showBox();
    EXPECT_EQ(owner, form->Handle) << "not About's";
    EXPECT_FALSE(formEnabled);
    EXPECT_FALSE(aboutEnabled) << "modal to the whole application";
    EXPECT_TRUE(IsWindowEnabled(about.Handle) && IsWindowEnabled(form->Handle));
    form->AboutWindow = nullptr;
}

TEST(Win32System, TheMessageBoxShowsTextAndCaptionWithOneButton) {
    std::string text, caption;
    WhileModal([&] {
        const HWND box = FindWindowW(L"#32770", L"Warning");
        if (!box)
            return false;
        caption = WindowText(box);
        text = WindowText(GetDlgItem(box, 0xFFFF));
        EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr) << "OK alone";
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return true;
    });
    Win32MessageDisplay().Show("Device not recognized.\nReconnect the device to USB port.", "Warning",
                               MessageStyle::Information);
    EXPECT_EQ(caption, "Warning");
    EXPECT_EQ(text, "Device not recognized.\nReconnect the device to USB port.");
}

TEST(Win32System, TheOpenDialogOffersTheFilterAndAcceptsAMissingName) {
    TempFolder folder;
    Win32OpenDialog dialog;
    dialog.InitialDir = Utf8(folder.Path());
    dialog.Filter = "Quorvella files (*.qeff)";
    std::string filter;
    WhileModal([&] {
        HWND box = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND w, LPARAM out) {
                char cls[16] = {};
                GetClassNameA(w, cls, sizeof cls);
                if (std::string(cls) == "#32770" && IsWindowVisible(w))
                    *reinterpret_cast<HWND*>(out) = w;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&box));
        if (!box)
            return false;
        filter = WindowText(GetDlgItem(box, 0x470));  // the file-type box
        SetDlgItemTextW(box, 0x47C, L"typed-later.qeff");  // the name box
        SetDlgItemTextW(box, 0x480, L"typed-later.qeff");
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return true;
    });
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(filter, "Quorvella files (*.qeff)");
    EXPECT_EQ(std::filesystem::path(Widen(dialog.FileName)).filename(), "typed-later.qeff");
    EXPECT_EQ(std::filesystem::path(Widen(dialog.FileName)).parent_path(), folder.Path());
}

}  // namespace
