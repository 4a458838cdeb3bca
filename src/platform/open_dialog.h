#pragma once

#include <QString>

// The file-open dialog as the main window uses it: configured before each use,
// and keeping the name the user last confirmed (a cancel leaves it unchanged).
class OpenDialog {
public:
    virtual ~OpenDialog() = default;

    QString InitialDir;
    QString Filter;    // one entry, e.g. "Quorvella files (*.qeff)"
    QString FileName;  // last confirmed name, folder included; empty until then

    // Shows the dialog and waits; true when the user confirmed a name.
    virtual bool Execute() = 0;
};
