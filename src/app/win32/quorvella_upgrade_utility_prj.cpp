// Program entry of the Quorvella USB Upgrade Utility on Windows.

#include "app/handler_errors.h"
#include "app/win32/message_loop.h"
#include "app/win32/quorvella_upgrade_utility.h"
#include "app/win32/unit2.h"
#include "app/win32/win32_message_display.h"
#include "app/win32/win32_open_dialog.h"
#include "platform/native_hid.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Win32MessageDisplay messages;
    try {
        Win32OpenDialog openDialog;
        const auto hid = NativeHidSystem();
        TForm1 Form1(messages, openDialog, *hid);
        openDialog.Owner = Form1.Handle;
        messages.Owner = Form1.Handle;
        Form1.Show();
        TForm2 Form2(Form1.Handle);
        Form1.AboutWindow = &Form2;
        RunMessageLoop();
    } catch (...) {
        ShowHandlerError(messages, std::current_exception());
    }
    return 0;
}
