#include "app/handler_errors.h"

#include <utility>

std::string ErrorBoxText(std::string message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        message += '.';
    return message;
}

void ShowHandlerError(MessageDisplay& messages, std::exception_ptr error) {
    std::string text;
    try {
        std::rethrow_exception(std::move(error));
    } catch (const SilentAbort&) {
        return;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        // an error that carries no text of its own
    }
    messages.Show(ErrorBoxText(std::move(text)), ApplicationTitle, MessageStyle::Error);
}
