#pragma once

#include "app/quorvella_upgrade_utility.h"
#include "platform/open_dialog.h"
#include "platform/simulated_hid.h"
#include "recording_messages.h"

#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// Answers the file dialog from a script: a name to confirm, or a cancel.
class ScriptedOpenDialog final : public OpenDialog {
public:
    struct Seen {
        QString initialDir, filter, fileName;
    };
    std::deque<std::optional<QString>> answers;  // runs out: cancel
    std::vector<Seen> seen;
    std::function<void()> during;  // runs while the dialog is up

    void Confirm(const QString& name) { answers.emplace_back(name); }
    void Cancel() { answers.emplace_back(std::nullopt); }

    bool Execute() override {
        seen.push_back({InitialDir, Filter, FileName});
        if (during)
            during();
        std::optional<QString> answer;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        if (!answer)
            return false;
        FileName = *answer;
        return true;
    }
};

// A main window with recorded messages, a scripted dialog and simulated HID.
struct MainWindowFixture {
    RecordingMessages messages;
    ScriptedOpenDialog dialog;
    SimulatedHid hid;
    TForm1 form{messages, dialog, hid};

    MainWindowFixture();
    ~MainWindowFixture();
    void ShowAndActivate();
};
