#include "app/qt/utility_application.h"

#include "app/handler_errors.h"

UtilityApplication::UtilityApplication(int& argc, char** argv, MessageDisplay& messages)
    : QApplication(argc, argv), messages_(messages) {
    setApplicationName(ApplicationTitle);
}

bool UtilityApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowHandlerError(messages_, std::current_exception());
    }
    return false;
}
