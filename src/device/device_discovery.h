#pragma once

#include "device/hid_device.h"

#include <cstdint>
#include <memory>

// The open product, or empty (the invalid handle) when the last search found none.
extern std::unique_ptr<HidDevice> DeviceHandle;

// Looks through the present HID interfaces in enumeration order and leaves the
// first one whose IDs match open in `handle`. Returns that interface's index,
// or, with `handle` empty, the number of interfaces enumerated. Every
// interface opened on the way that does not match is closed again.
int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                std::unique_ptr<HidDevice>& handle);
