#pragma once

#include "device/hid_device.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// Linux HID through the kernel's hidraw nodes. The interfaces are the entries of
// `classFolder` (normally /sys/class/hidraw) in numeric order, each opened as
// `deviceFolder`/hidrawN.
std::unique_ptr<HidSystem> MakeHidrawSystem(std::string classFolder = "/sys/class/hidraw",
                                            std::string deviceFolder = "/dev");

// The vendor and product ID in a HID device's uevent text ("HID_ID=0003:00001D50:00006018").
std::optional<DeviceAttributes> IdsFromUevent(const std::string& uevent);

// Asks an open hidraw node one request, as ioctl() does: negative on failure.
using HidrawRequest = std::function<int(unsigned long request, void* argument)>;

// The serial number (HIDIOCGRAWUNIQ) and the location (HIDIOCGRAWPHYS) a node
// tells when asked through `ask`; nullopt when it answers no such request.
std::optional<DeviceIdentity> IdentityFromNode(const HidrawRequest& ask);
