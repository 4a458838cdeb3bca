#pragma once

#include "device/access_doctor.h"

#include <memory>

// What this platform tells of access to HID interfaces.
std::unique_ptr<AccessInspector> NativeAccessInspector();
