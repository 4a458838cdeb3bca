#include "platform/qt_open_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

bool QtOpenDialog::Execute() {
    QFileDialog dialog(parent_);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The toolkit's own dialog matches the filter without regard to letter case.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilter(Filter);
    dialog.setDirectory(QDir(InitialDir).absolutePath());
    if (!FileName.isEmpty()) {
        dialog.setDirectory(QFileInfo(FileName).absolutePath());
        dialog.selectFile(QFileInfo(FileName).fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    // Like the system's own open dialog, confirming a name moves the current
    // directory to its folder, so the next "." starts there.
    QDir::setCurrent(QFileInfo(FileName).absolutePath());
    return true;
}
