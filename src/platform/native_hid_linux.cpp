#include "platform/hidraw_system.h"
#include "platform/native_hid.h"

std::unique_ptr<HidSystem> NativeHidSystem() { return MakeHidrawSystem(); }
