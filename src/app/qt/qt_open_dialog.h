#pragma once

#include "app/open_dialog.h"

class QWidget;

// The toolkit's own file dialog: starts in InitialDir, pre-filled with the last
// confirmed name, filters case-insensitively and accepts names of files that do
// not exist (opening them is what then fails).
class QtOpenDialog final : public OpenDialog {
public:
    explicit QtOpenDialog(QWidget* parent = nullptr) : parent_(parent) {}
    bool Execute() override;

private:
    QWidget* parent_;
};
