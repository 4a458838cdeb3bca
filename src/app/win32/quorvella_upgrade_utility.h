#pragma once

#include "app/main_window.h"
#include "app/win32/logo_image.h"

#include <windows.h>

#include <map>
#include <memory>

class HidSystem;
class MessageDisplay;
class OpenDialog;
class TCGauge;
class TForm2;

// The main window on Win32: native controls at their places, each event
// handed to the shared behaviour, and what the behaviour asks shown on them.
class TForm1 : private MainWindowView {
public:
    TForm1(MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    ImagingLibrary Imaging;  // first in, last out: the logo is loaded as the window is built
    HWND Handle = nullptr;   // the window itself (Form1)
    HWND Exit = nullptr;
    HWND About = nullptr;
    HWND GroupBox1 = nullptr;
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Label3 = nullptr;
    HWND Label4 = nullptr;
    HWND Label5 = nullptr;
    HWND Edit1 = nullptr;
    HWND Open = nullptr;
    HWND Memo = nullptr;
    HWND GroupBox2 = nullptr;
    std::unique_ptr<TCGauge> bar;
    HWND Upgrade = nullptr;
    HWND Tooltips = nullptr;
    MainWindow Behaviour;
    OpenDialog& OpenDialog1;
    MessageDisplay& Messages;
    TForm2* AboutWindow = nullptr;  // shown by About; owned by the program entry

    void FormCreate() { Behaviour.FormCreate(); }
    void ExitClick() { Behaviour.ExitClick(); }
    void AboutClick() { Behaviour.AboutClick(); }
    void OpenClick() { Behaviour.OpenClick(); }
    void UpgradeClick() { Behaviour.UpgradeClick(); }
    void Timer1Timer() { Behaviour.Timer1Timer(); }

    void Show();
    HWND HandleOf(Control control) const;
    Control ControlOf(HWND window) const;
    // The cursor the window shows over a control now.
    CursorShape CursorOver(Control control) const;
    bool TimerRunning() const { return timerRunning_; }
    int TimerInterval() const { return timerInterval_; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK GroupProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    LRESULT Handle_(UINT message, WPARAM w, LPARAM l);
    void Command(int id);
    void AddTooltip(HWND control, const char* text);
    bool ClaimKey(const MSG& msg);
    void ShowPointerNow();
    void FormPaint(HDC dc);

    // MainWindowView
    void SetEnabled(Control control, bool enabled) override;
    bool IsEnabled(Control control) const override;
    void SetCaption(Control control, const std::string& text) override;
    void SetMemoLines(const std::vector<std::string>& lines) override;
    void SetCursor(Control control, CursorShape cursor) override;
    void SetGauge(int percent) override;
    void StartTimer(int ms) override;
    void StopTimer() override;
    void ProcessPendingEvents() override;
    void Press(Control button) override;
    void ShowAbout() override;
    void Close() override;
    void HoldOffShutdown(bool hold) override;

    HFONT font_ = nullptr;
    HBRUSH memoBackground_ = nullptr;
    std::map<Control, HWND> handles_;
    std::map<Control, CursorShape> cursors_;
    bool timerRunning_ = false;
    int timerInterval_ = 0;
    bool destroyed_ = false;
    bool holdingOffShutdown_ = false;
    bool activated_ = false;   // the first activation gives Exit the focus
    HWND lastFocus_ = nullptr;  // the control that had the focus when the window was left
};
