#include "app/upload_firmware.h"

#include "app/quorvella_upgrade_utility.h"
#include "app/tcgauge.h"
#include "device/firmware_transfer.h"
#include "platform/exclusive_file.h"
#include "platform/open_dialog.h"

#include <QCoreApplication>
#include <QFile>

namespace {

class WindowTransferView final : public TransferView {
public:
    explicit WindowTransferView(TForm1& form) : form_(form) {}
    void SetGauge(int percent) override { form_.bar->SetProgress(percent); }
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        form_.Messages.Show(text, caption, style);
    }
    void ProcessPendingEvents() override { QCoreApplication::processEvents(); }

private:
    TForm1& form_;
};

}  // namespace

void UploadFirmware(TForm1& Form, HidDevice& device) {
    WindowTransferView view(Form);
    TransferFirmware(view, device, OpenFileExclusive(QFile::encodeName(Form.OpenDialog1.FileName).toStdString()));
}
