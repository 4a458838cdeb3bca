#include "app/qt/qt_open_dialog.h"

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
    dialog.setNameFilter(QString::fromStdString(Filter));
    dialog.setDirectory(QDir(QString::fromStdString(InitialDir)).absolutePath());
    const QString last = QString::fromStdString(FileName);
    if (!last.isEmpty()) {
        dialog.setDirectory(QFileInfo(last).absolutePath());
        dialog.selectFile(QFileInfo(last).fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    FileName = chosen.toStdString();
    // Like the system's own open dialog, confirming a name moves the current
    // directory to its folder, so the next "." starts there.
    QDir::setCurrent(QFileInfo(chosen).absolutePath());
    return true;
}
