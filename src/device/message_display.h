#pragma once

#include <string>

enum class MessageStyle { Plain, Exclamation, Information, Error };

// The one way the utility shows a message: a modal box with a text, a caption,
// an icon chosen by the style and a single OK button. Returns when dismissed.
class MessageDisplay {
public:
    virtual ~MessageDisplay() = default;
    virtual void Show(const std::string& text, const std::string& caption, MessageStyle style) = 0;
};
