#pragma once

#include <string>

// The file-open dialog as the main window uses it: configured before each use,
// and keeping the name the user last confirmed (a cancel leaves it unchanged).
// Names are UTF-8.
class OpenDialog {
public:
    virtual ~OpenDialog() = default;

    std::string InitialDir;
    std::string Filter;    // one entry, e.g. "Quorvella files (*.qeff)"
    std::string FileName;  // last confirmed name, folder included; empty until then

    // Shows the dialog and waits; true when the user confirmed a name.
    virtual bool Execute() = 0;
};
