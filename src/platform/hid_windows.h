#pragma once

#include "device/hid_device.h"

#include <memory>

// Makes one manual-reset event, not signalled (a HANDLE), or nullptr when none can be had.
using EventMaker = void* (*)();

// Windows HID through the HID class driver (hid.dll) and the device set-up
// interface (setupapi.dll), with overlapped I/O, each request waited for on a
// manual-reset event of its own. `makeEvent` replaces the system's events for
// a test of a device that can get none.
std::unique_ptr<HidSystem> MakeWindowsHidSystem(EventMaker makeEvent = nullptr);
