#pragma once

#include "device/hid_device.h"

#include <optional>
#include <string>

// The product IDs of the package at `path`, or why it cannot be read, in the
// window's own words ("Can't open file!", "Wrong file format!").
struct PackageIds {
    std::optional<DeviceAttributes> ids;
    const char* why = nullptr;
};
PackageIds PackageIdsOf(const std::string& path);
