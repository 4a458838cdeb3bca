#pragma once

#include "device/hid_device.h"

#include <memory>

// Windows HID through the HID class driver (hid.dll) and the device set-up
// interface (setupapi.dll), with overlapped I/O on one manual-reset event.
std::unique_ptr<HidSystem> MakeWindowsHidSystem();
