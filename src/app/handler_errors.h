#pragma once

#include "app/main_window_layout.h"
#include "device/message_display.h"

#include <exception>
#include <string>
#include <utility>

// An error that ends a handler without any message.
struct SilentAbort : std::exception {
    const char* what() const noexcept override { return "silent abort"; }
};

// The error box's text: the error's message, with "." added when its last
// character sorts after ".".
std::string ErrorBoxText(std::string message);

// Shows the error held by `error` in the error-icon box captioned with the
// application title; a silent abort shows nothing.
void ShowHandlerError(MessageDisplay& messages, std::exception_ptr error);

// Wraps an event handler so that an error escaping it is shown and the event
// loop goes on.
template <class Handler>
auto Guarded(MessageDisplay& messages, Handler handler) {
    return [&messages, handler = std::move(handler)]() mutable {
        try {
            handler();
        } catch (...) {
            ShowHandlerError(messages, std::current_exception());
        }
    };
}
