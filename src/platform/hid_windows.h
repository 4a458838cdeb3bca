#pragma once

#include "device/hid_device.h"

#include <memory>
#include <optional>
#include <string>

// Makes one manual-reset event, not signalled (a HANDLE), or nullptr when none can be had.
using EventMaker = void* (*)();

// Asks the driver to cancel one request on a device (a HANDLE and an
// OVERLAPPED*), or every request on it when `overlapped` is nullptr, as
// CancelIoEx does; nonzero when asked.
using RequestCanceller = int (*)(void* device, void* overlapped);

// Windows HID through the HID class driver (hid.dll) and the device set-up
// interface (setupapi.dll), with overlapped I/O, each request waited for on a
// manual-reset event of its own. `makeEvent` replaces the system's events for
// a test of a device that can get none; `cancel` replaces CancelIoEx for a
// test of a driver that never ends what it is asked to cancel.
std::unique_ptr<HidSystem> MakeWindowsHidSystem(EventMaker makeEvent = nullptr, RequestCanceller cancel = nullptr);

// The vendor and product ID an interface's path names ("\\?\hid#vid_1d50&pid_6018&mi_00#..."),
// where it names them.
std::optional<DeviceAttributes> IdsFromInterfacePath(const std::string& path);
