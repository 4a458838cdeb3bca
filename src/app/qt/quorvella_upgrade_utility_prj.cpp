// Program entry of the Quorvella USB Upgrade Utility on Qt.

#include "app/handler_errors.h"
#include "app/qt/qt_message_display.h"
#include "app/qt/qt_open_dialog.h"
#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/unit2.h"
#include "app/qt/utility_application.h"
#include "platform/native_hid.h"

int main(int argc, char** argv) {
    // The main window is laid out in screen pixels and is never scaled; only
    // the About window follows the screen's resolution, by its own rule.
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");

    QtMessageDisplay messages;
    UtilityApplication application(argc, argv, messages);
    try {
        QtOpenDialog openDialog;
        const auto hid = NativeHidSystem();
        TForm1 Form1(messages, openDialog, *hid);
        Form1.show();
        TForm2 Form2;
        Form1.AboutWindow = &Form2;
        application.exec();
    } catch (...) {
        ShowHandlerError(messages, std::current_exception());
    }
    return 0;
}
