#include "app/qt/qt_message_display.h"

#include <QApplication>
#include <QMessageBox>

namespace {

QMessageBox::Icon IconFor(MessageStyle style) {
    switch (style) {
    case MessageStyle::Exclamation: return QMessageBox::Warning;
    case MessageStyle::Information: return QMessageBox::Information;
    case MessageStyle::Error: return QMessageBox::Critical;
    case MessageStyle::Plain: break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void QtMessageDisplay::Show(const std::string& text, const std::string& caption, MessageStyle style) {
    QMessageBox box(IconFor(style), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}
