#pragma once

#include "app/main_window.h"
#include "device/device_discovery.h"
#include "package/package_ids.h"
#include "support/recording_messages.h"
#include "support/scripted_open_dialog.h"
#include "simulated/simulated_hid.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A window without a toolkit: it keeps what the behaviour shows and logs, in
// order, every change it is asked for.
class FakeWindow final : public MainWindowView {
public:
    MainWindow* form = nullptr;
    std::map<Control, bool> enabled{{Control::Edit1, false}};  // as the window is created
    std::map<Control, std::string> captions;
    std::vector<std::string> memo;
    std::map<Control, CursorShape> cursors;
    int gauge = 0;
    std::optional<int> timer;  // the interval Timer1 runs with
    std::vector<std::string> log;
    std::function<void()> duringEvents;  // runs when pending events are let run
    int eventRounds = 0;
    int aboutShown = 0;
    bool closed = false;

    void SetEnabled(Control c, bool on) override {
        enabled[c] = on;
        log.push_back(std::string(on ? "enable " : "disable ") + Name(c));
    }
    bool IsEnabled(Control c) const override {
        const auto it = enabled.find(c);
        return it == enabled.end() || it->second;
    }
    void SetCaption(Control c, const std::string& text) override { captions[c] = text; }
    void SetMemoLines(const std::vector<std::string>& lines) override { memo = lines; }
    void SetCursor(Control c, CursorShape shape) override {
        cursors[c] = shape;
        log.push_back(std::string(shape == CursorShape::Wait ? "wait " : "default ") + Name(c));
    }
    void SetGauge(int percent) override { gauge = percent; }
    void StartTimer(int ms) override {
        timer = ms;
        log.push_back("timer " + std::to_string(ms));
    }
    void StopTimer() override { timer.reset(); }
    void ProcessPendingEvents() override {
        ++eventRounds;
        if (duringEvents)
            duringEvents();
    }
    void Press(Control c) override {
        log.push_back(std::string("press ") + Name(c));
        if (c == Control::Exit)
            form->ExitClick();
    }
    void ShowAbout() override { ++aboutShown; }
    void HoldOffShutdown(bool hold) override { holdingOffShutdown = hold; }
    bool holdingOffShutdown = false;
    void Close() override { closed = form->CloseQuery(); }

    // What the event loop does when Timer1 is due; false when it is not running.
    bool FireTimer() {
        if (!timer)
            return false;
        form->Timer1Timer();
        return true;
    }
    std::string Caption(Control c) const {
        const auto it = captions.find(c);
        return it == captions.end() ? std::string() : it->second;
    }

    static const char* Name(Control c) {
        switch (c) {
        case Control::Form1: return "Form1";
        case Control::Exit: return "Exit";
        case Control::About: return "About";
        case Control::GroupBox1: return "GroupBox1";
        case Control::Label1: return "Label1";
        case Control::Label2: return "Label2";
        case Control::Label3: return "Label3";
        case Control::Label4: return "Label4";
        case Control::Label5: return "Label5";
        case Control::Edit1: return "Edit1";
        case Control::Open: return "Open";
        case Control::Memo: return "Memo";
        case Control::GroupBox2: return "GroupBox2";
        case Control::bar: return "bar";
        case Control::Upgrade: return "Upgrade";
        }
        return "?";
    }
};

// The shared behaviour of the main window over a fake window, recorded
// messages, a scripted dialog, simulated HID and a clock the test moves.
struct BehaviourFixture {
    RecordingMessages messages;
    ScriptedOpenDialog dialog;
    SimulatedHid hid;
    FakeWindow window;
    MainWindow form{window, messages, dialog, hid};
    MainWindow::Clock::time_point now{};

    BehaviourFixture() {
        PackageVendorId = 0;
        PackageProductId = 0;
        RetryPending = false;
        DeviceHandle.reset();
        window.form = &form;
        form.Now = [this] { return now; };
        form.FormCreate();
        window.log.clear();
    }
    ~BehaviourFixture() {
        DeviceHandle.reset();
        RetryPending = false;
    }
    void Wait(int ms) { now += std::chrono::milliseconds(ms); }
};
