#pragma once

#include "device/hid_device.h"

#include <memory>

// The operating system's HID services for the platform this program was built for.
std::unique_ptr<HidSystem> NativeHidSystem();
