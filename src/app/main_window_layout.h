#pragma once

#include "app/main_window_view.h"

#include <array>
#include <optional>

inline constexpr const char* ApplicationTitle = "Quorvella USB Upgrade Utility";

// The main window in pixels at 96 dots per inch; it is never scaled.
inline constexpr int MainClientWidth = 528;
inline constexpr int MainClientHeight = 424;
inline constexpr int WindowFontPixels = 11;  // "MS Sans Serif", 8 pt at 96 dpi
inline constexpr const char* WindowFontFace = "MS Sans Serif";

enum class ControlKind { PushButton, GroupBox, Label, SingleLineEdit, MultiLineEdit, Gauge };

struct Placement {
    int left, top, width, height;  // width and height 0: sized to the text
};

struct ControlRow {
    Control control;
    ControlKind kind;
    Control parent;
    Placement place;
    const char* text;
    const char* tooltip;  // nullptr: none
    bool enabled;
    int tabOrder;  // within its parent; -1: takes no focus
};

// Every control of the main window, in the order the front ends create them.
inline constexpr std::array<ControlRow, 14> MainWindowControls{{
    {Control::Exit, ControlKind::PushButton, Control::Form1, {16, 384, 75, 25}, "Exit",
     "Exit Quorvella USB Upgrade Utility", true, 0},
    {Control::About, ControlKind::PushButton, Control::Form1, {432, 384, 74, 25}, "About",
     "About Quorvella USB Upgrade Utility", true, 1},
    {Control::GroupBox1, ControlKind::GroupBox, Control::Form1, {16, 64, 489, 233}, "Firmware File ", nullptr,
     true, 2},
    {Control::Label1, ControlKind::Label, Control::GroupBox1, {24, 29, 0, 0}, "File Name:", nullptr, true, -1},
    {Control::Label2, ControlKind::Label, Control::GroupBox1, {24, 56, 0, 0}, "Product Name:",
     "Product name this QEFF file was build for", true, -1},
    {Control::Label3, ControlKind::Label, Control::GroupBox1, {24, 80, 0, 0}, "Product Code:",
     "Product code this QEFF file was build for", true, -1},
    {Control::Label4, ControlKind::Label, Control::GroupBox1, {24, 104, 0, 0}, "Firmware Code:", "QEFF file code",
     true, -1},
    {Control::Label5, ControlKind::Label, Control::GroupBox1, {24, 128, 0, 0}, "Notes:", nullptr, true, -1},
    {Control::Edit1, ControlKind::SingleLineEdit, Control::GroupBox1, {80, 25, 353, 20}, "",
     "QEFF file with firmware to upgrade", false, 0},
    {Control::Open, ControlKind::PushButton, Control::GroupBox1, {440, 24, 25, 22}, "...", "Chose QEFF file", true,
     1},
    {Control::Memo, ControlKind::MultiLineEdit, Control::GroupBox1, {24, 144, 441, 73}, "",
     "QEFF file important notes", true, 2},
    {Control::GroupBox2, ControlKind::GroupBox, Control::Form1, {16, 304, 489, 65}, "Upgrade ", nullptr, true, 3},
    {Control::bar, ControlKind::Gauge, Control::GroupBox2, {24, 24, 313, 25}, "", "Upgrade progress bar", true, -1},
    {Control::Upgrade, ControlKind::PushButton, Control::GroupBox2, {366, 24, 99, 25}, "Upgrade",
     "Press to upgrade firmware in your product", false, 0},
}};

// The controls in the order Tab visits them: the window's own by their tab
// order, a group box's controls in its place.
inline constexpr std::array<Control, 6> MainWindowTabOrder{
    Control::Exit, Control::About, Control::Edit1, Control::Open, Control::Memo, Control::Upgrade};

constexpr const ControlRow& RowOf(Control control) {
    for (const ControlRow& row : MainWindowControls)
        if (row.control == control)
            return row;
    return MainWindowControls[0];  // every control but the window has a row
}
