#pragma once

#include "app/main_window_view.h"

#include <windows.h>

// The Shift, Ctrl and Alt keys held now, and a virtual key in the shared
// behaviour's terms.
KeyModifiers HeldModifiers();
Key KeyOfVirtualKey(WPARAM key);
