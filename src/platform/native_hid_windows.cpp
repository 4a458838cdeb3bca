#include "platform/native_hid.h"
#include "platform/windows_hid_system.h"

std::unique_ptr<HidSystem> NativeHidSystem() { return MakeWindowsHidSystem(); }
