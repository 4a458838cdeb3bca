#pragma once

#include <QApplication>

class MessageDisplay;

// The application object: an error that escapes the handling of any event is
// shown in the error box and the event loop goes on.
class UtilityApplication : public QApplication {
public:
    UtilityApplication(int& argc, char** argv, MessageDisplay& messages);
    bool notify(QObject* receiver, QEvent* event) override;

private:
    MessageDisplay& messages_;
};
