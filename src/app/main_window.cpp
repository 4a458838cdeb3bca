#include "app/main_window.h"

#include "package/package_text.h"
#include "app/open_dialog.h"
#include "app/upload_firmware.h"
#include "device/device_discovery.h"
#include "device/message_display.h"
#include "package/package_header.h"
#include "package/package_ids.h"
#include "platform/exclusive_file.h"

#include <initializer_list>

bool RetryPending = false;

namespace {

constexpr int kStartDelayMs = 1;
constexpr int kRetryDelayMs = 2000;

bool NoModifiers(KeyModifiers m) { return !m.shift && !m.ctrl && !m.alt; }

bool IsPushButton(Control c) {
    return c == Control::Exit || c == Control::About || c == Control::Open || c == Control::Upgrade;
}

}  // namespace

bool PressesFocusedButton(Key key, KeyModifiers modifiers) {
    return (key == Key::Enter || key == Key::Space) && NoModifiers(modifiers);
}

MainWindow::MainWindow(MainWindowView& view, MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid)
    : View(view), Messages(messages), OpenDialog1(openDialog), Hid(hid) {}

void MainWindow::FormCreate() { View.SetEnabled(Control::Upgrade, false); }

void MainWindow::ExitClick() { View.Close(); }

void MainWindow::AboutClick() { View.ShowAbout(); }

void MainWindow::OpenClick() {
    View.SetEnabled(Control::Upgrade, false);
    OpenDialog1.InitialDir = ".";
    OpenDialog1.Filter = "Quorvella files (*.qeff)";
    // Confirmed or cancelled, the dialog's current name is used: a cancel after
    // an earlier choice loads that file again.
    OpenDialog1.Execute();
    View.SetCaption(Control::Edit1, OpenDialog1.FileName);
    if (OpenDialog1.FileName.empty())
        return;

    const std::unique_ptr<PackageFile> file = OpenFileExclusive(OpenDialog1.FileName);
    if (!file) {
        Messages.Show("Can't open file!", "File Error", MessageStyle::Plain);
        View.SetMemoLines({});
        View.SetCaption(Control::Edit1, "");
        return;
    }
    const auto header = AcceptHeader(*file);
    if (!header) {
        Messages.Show("Wrong file format!", "File Error", MessageStyle::Plain);
        View.SetCaption(Control::Edit1, "");
        return;
    }
    PackageVendorId = header->VendorId;
    PackageProductId = header->ProductId;
    View.SetCaption(Control::Label2, "Product Name: " + AnsiToUtf8(header->ProductName));
    View.SetCaption(Control::Label3, "Product Code:  " + AnsiToUtf8(header->ProductCode));
    View.SetCaption(Control::Label4, "Firmware Code: " + AnsiToUtf8(header->FirmwareCode));
    View.SetMemoLines(SplitLines(AnsiToUtf8(header->Notes)));
    View.SetEnabled(Control::Upgrade, true);
}

void MainWindow::StartTimer(int ms) {
    timerArmed_ = true;
    View.StartTimer(ms);
}

void MainWindow::SetCursors(std::initializer_list<Control> controls, CursorShape cursor) {
    for (const Control c : controls)
        View.SetCursor(c, cursor);
}

void MainWindow::UpgradeClick() {
    View.SetEnabled(Control::Open, false);
    View.SetEnabled(Control::Exit, false);
    SetCursors({Control::GroupBox1, Control::GroupBox2, Control::Form1, Control::Upgrade, Control::Edit1,
                Control::Memo, Control::Open, Control::About},
               CursorShape::Wait);
    View.SetEnabled(Control::Upgrade, false);
    View.SetEnabled(Control::Memo, false);
    // Let the window show its busy state before the search begins.
    StartTimer(kStartDelayMs);
}

int MainWindow::Try_Upgrade(std::unique_ptr<HidDevice>& handle) {
    return FindProduct(Hid, PackageVendorId, PackageProductId, handle, &accessDenied_);
}

void MainWindow::EndAttempt() {
    View.SetEnabled(Control::Open, true);
    View.SetEnabled(Control::Exit, true);
    View.SetEnabled(Control::Upgrade, true);
    RetryPending = false;
    SetCursors({Control::Upgrade, Control::GroupBox1, Control::GroupBox2, Control::Form1, Control::Edit1,
                Control::Memo, Control::Open, Control::About},
               CursorShape::Default);
    View.SetEnabled(Control::Memo, true);
}

void MainWindow::Timer1Timer() {
    View.StopTimer();  // a one-shot: the next step, if any, sets it again
    timerArmed_ = false;

    // A toolkit's timer may fire a little early; the second search never comes
    // before its two seconds are up.
    if (RetryPending) {
        const auto early = std::chrono::ceil<std::chrono::milliseconds>(retryDue_ - Now());
        if (early.count() > 0) {
            StartTimer(static_cast<int>(early.count()));
            return;
        }
    }

    // However this step ends, even by an error, a finished attempt leaves the
    // device closed and the window usable.
    bool attemptOver = true;
    struct Cleanup {
        MainWindow& form;
        bool& over;
        ~Cleanup() {
            form.FirmwareWritten();
            form.transferring_ = false;
            DeviceHandle.reset();
            if (!over)
                return;
            form.EndAttempt();
            if (form.closeAfterAttempt_) {
                form.closeAfterAttempt_ = false;
                form.View.Close();
            }
        }
    } cleanup{*this, attemptOver};

    const int interfaces = Try_Upgrade(DeviceHandle);
    if (DeviceHandle) {
        transferring_ = true;
        holdingOffShutdown_ = true;
        View.HoldOffShutdown(true);
        UploadFirmware(*this, *DeviceHandle);
    } else if (RetryPending) {
        if (accessDenied_)
            Messages.Show("Device found, but access to it was denied.\nAllow access to the device (see README) and try again.",
                          "Warning", MessageStyle::Exclamation);
        else if (interfaces != 0)
            Messages.Show("Device not recognized, vendor ID or product ID incorrect", "Warning",
                          MessageStyle::Exclamation);
        else
            Messages.Show("Device not recognized.\nReconnect the device to USB port.", "Warning",
                          MessageStyle::Information);
    } else {
        // The product may still be arriving: look once more in two seconds.
        RetryPending = true;
        retryDue_ = Now() + std::chrono::milliseconds(kRetryDelayMs);
        StartTimer(kRetryDelayMs);
        attemptOver = false;
    }
}

void MainWindow::FirmwareWritten() {
    if (!holdingOffShutdown_)
        return;
    holdingOffShutdown_ = false;
    View.HoldOffShutdown(false);
}

bool MainWindow::KeyDown(Key key, KeyModifiers modifiers, Control focused) {
    if (key == Key::Escape && NoModifiers(modifiers)) {
        if (View.IsEnabled(Control::Exit) && focused != Control::Memo)
            View.Press(Control::Exit);
        return true;
    }
    if (key == Key::Enter && PressesFocusedButton(key, modifiers) && IsPushButton(focused) &&
        View.IsEnabled(focused)) {
        View.Press(focused);
        return true;
    }
    return false;
}

bool MainWindow::CloseQuery() {
    if (transferring_) {
        // A transfer is not cut off: the window closes when the attempt has ended.
        closeAfterAttempt_ = true;
        return false;
    }
    if (timerArmed_) {
        // Waiting to search: the attempt simply ends.
        View.StopTimer();
        timerArmed_ = false;
        EndAttempt();
    }
    return true;
}
