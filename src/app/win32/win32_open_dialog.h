#pragma once

#include "app/open_dialog.h"

#include <windows.h>

// The system's file-open dialog: starts in InitialDir, pre-filled with the last
// confirmed name, one filter that matches in any letter case, and names of
// files that do not exist accepted (opening them is what then fails).
class Win32OpenDialog final : public OpenDialog {
public:
    HWND Owner = nullptr;
    bool Execute() override;
};
