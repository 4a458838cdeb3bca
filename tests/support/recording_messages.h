#pragma once

#include "device/message_display.h"

#include <functional>
#include <string>
#include <vector>

struct ShownMessage {
    std::string text;
    std::string caption;
    MessageStyle style;

    bool operator==(const ShownMessage&) const = default;
};

// Records every message instead of showing a modal box.
class RecordingMessages final : public MessageDisplay {
public:
    std::vector<ShownMessage> shown;
    std::function<void(const ShownMessage&)> onShow;  // runs while the "box" is up

    void Show(const std::string& text, const std::string& caption, MessageStyle style) override {
        shown.push_back({text, caption, style});
        if (onShow)
            onShow(shown.back());
    }
};
