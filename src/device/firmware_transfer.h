#pragma once

#include "device/hid_device.h"
#include "device/transfer_view.h"
#include "package/package_file.h"

#include <chrono>
#include <memory>

// A written report is waited for this long, an acknowledgement this long.
inline constexpr std::chrono::milliseconds WriteWaitBound{50};
inline constexpr std::chrono::milliseconds AckWaitBound{300};

// Streams the payload of `package` (nullptr: it could not be opened) to the open
// product, one acknowledgement per block of the package's BlockLength, drives
// the gauge and shows the outcome. Closes the file; leaves the device open.
void TransferFirmware(TransferView& view, HidDevice& device, std::unique_ptr<PackageFile> package);
