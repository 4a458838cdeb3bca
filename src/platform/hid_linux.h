#pragma once

#include "device/hid_device.h"

#include <memory>
#include <string>

// Linux HID through the kernel's hidraw nodes. The interfaces are the entries of
// `classFolder` (normally /sys/class/hidraw) in numeric order, each opened as
// `deviceFolder`/hidrawN.
std::unique_ptr<HidSystem> MakeHidrawSystem(std::string classFolder = "/sys/class/hidraw",
                                            std::string deviceFolder = "/dev");

// The vendor and product ID in a HID device's uevent text ("HID_ID=0003:00001D50:00006018").
std::optional<DeviceAttributes> IdsFromUevent(const std::string& uevent);
