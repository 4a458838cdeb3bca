#include "app/upload_firmware.h"

#include "app/main_window.h"
#include "app/open_dialog.h"
#include "device/firmware_transfer.h"
#include "device/message_display.h"
#include "platform/exclusive_file.h"

namespace {

class WindowTransferView final : public TransferView {
public:
    explicit WindowTransferView(MainWindow& form) : form_(form) {}
    void SetGauge(int percent) override { form_.View.SetGauge(percent); }
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        form_.Messages.Show(text, caption, style);
    }
    void TransferEnding() override { form_.FirmwareWritten(); }
    void ProcessPendingEvents() override { form_.View.ProcessPendingEvents(); }

private:
    MainWindow& form_;
};

}  // namespace

void UploadFirmware(MainWindow& Form, HidDevice& device) {
    WindowTransferView view(Form);
    TransferFirmware(view, device, OpenFileExclusive(Form.OpenDialog1.FileName));
}
