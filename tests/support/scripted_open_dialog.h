#pragma once

#include "app/open_dialog.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Answers the file dialog from a script: a name to confirm, or a cancel.
class ScriptedOpenDialog final : public OpenDialog {
public:
    struct Seen {
        std::string initialDir, filter, fileName;
    };
    std::deque<std::optional<std::string>> answers;  // runs out: cancel
    std::vector<Seen> seen;
    std::function<void()> during;  // runs while the dialog is up

    void Confirm(const std::string& name) { answers.emplace_back(name); }
    void Cancel() { answers.emplace_back(std::nullopt); }

    bool Execute() override {
        seen.push_back({InitialDir, Filter, FileName});
        if (during)
            during();
        std::optional<std::string> answer;
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
