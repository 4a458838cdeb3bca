#pragma once

#include "app/main_window_view.h"

#include <chrono>
#include <functional>
#include <memory>

class HidDevice;
class HidSystem;
class MessageDisplay;
class OpenDialog;

// True while an upgrade attempt waits for its second search for the product.
extern bool RetryPending;

// What the main window does, written once for every toolkit: choosing and
// showing a package, an upgrade attempt with its busy state and second search,
// the keys, and what closing the window means while an attempt runs. The
// front end's TForm1 forwards its events to the handlers of the same names.
class MainWindow {
public:
    using Clock = std::chrono::steady_clock;

    MainWindow(MainWindowView& view, MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid);

    MainWindowView& View;
    MessageDisplay& Messages;
    OpenDialog& OpenDialog1;
    HidSystem& Hid;
    std::function<Clock::time_point()> Now = [] { return Clock::now(); };

    void FormCreate();
    void ExitClick();
    void AboutClick();
    void OpenClick();
    void UpgradeClick();
    void Timer1Timer();
    // Opens the first attached product with the package's IDs into `handle`;
    // returns its index, or the number of HID interfaces seen when none matches.
    int Try_Upgrade(std::unique_ptr<HidDevice>& handle);

    // A key went down with the focus on `focused`; true when the window used it.
    bool KeyDown(Key key, KeyModifiers modifiers, Control focused);
    // The window is asked to close: true when it may close now. During a
    // transfer it closes once the attempt is over; during the wait for the
    // second search the attempt simply ends.
    bool CloseQuery();

    bool Transferring() const { return transferring_; }
    // The firmware is written, or will not be: sleep and shut-down are let
    // through again before the outcome is shown (a box may stay up for hours).
    void FirmwareWritten();
    bool TimerArmed() const { return timerArmed_; }

private:
    void StartTimer(int ms);
    void SetCursors(std::initializer_list<Control> controls, CursorShape cursor);
    void EndAttempt();

    bool timerArmed_ = false;
    Clock::time_point retryDue_{};
    bool transferring_ = false;
    bool holdingOffShutdown_ = false;
    bool accessDenied_ = false;  // the last search found the product but may not open it
    bool closeAfterAttempt_ = false;
};

// Enter or Space on a focused, enabled push button presses it (no Shift, Ctrl
// or Alt). The About window's only rule; the main window's Enter rule too.
bool PressesFocusedButton(Key key, KeyModifiers modifiers);
