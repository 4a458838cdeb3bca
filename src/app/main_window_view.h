#pragma once

#include <string>
#include <vector>

// The main window's controls, as the shared behaviour names them.
enum class Control {
    Form1, Exit, About, GroupBox1, Label1, Label2, Label3, Label4, Label5,
    Edit1, Open, Memo, GroupBox2, bar, Upgrade,
};

enum class CursorShape { Default, Wait };

// The keys the windows give a meaning of their own.
enum class Key { Escape, Enter, Space, Other };
struct KeyModifiers {
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
};

// What the main window's behaviour needs of a toolkit. A front end creates the
// controls, forwards their events to the behaviour and does what it is told
// here; it decides nothing itself.
class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    virtual void SetEnabled(Control control, bool enabled) = 0;
    virtual bool IsEnabled(Control control) const = 0;
    // A label's caption, sized to its text, or Edit1's text (UTF-8).
    virtual void SetCaption(Control control, const std::string& text) = 0;
    // Memo's lines; none leaves it empty.
    virtual void SetMemoLines(const std::vector<std::string>& lines) = 0;
    // Shown at once, without waiting for the pointer to move. Default is the
    // control's own (an arrow, or a text beam over text).
    virtual void SetCursor(Control control, CursorShape cursor) = 0;
    virtual void SetGauge(int percent) = 0;
    // Timer1, a one-shot: fires once, `ms` after it was started, unless stopped.
    virtual void StartTimer(int ms) = 0;
    virtual void StopTimer() = 0;
    // Lets the window events that are pending run (repaint, About, close).
    virtual void ProcessPendingEvents() = 0;
    // Presses a push button, as a click does: its handler runs.
    virtual void Press(Control button) = 0;
    // Shows the About window if hidden and brings it to the front, not modal.
    virtual void ShowAbout() = 0;
    // Asks the main window to close, as its title-bar button does.
    virtual void Close() = 0;
    // While firmware is being written: the system is asked not to sleep, shut
    // down or end the session until it is released, for the product would be
    // left half-flashed. A toolkit without a way to ask does nothing.
    virtual void HoldOffShutdown(bool) {}
};
