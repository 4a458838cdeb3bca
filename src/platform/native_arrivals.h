#pragma once

#include "device/hid_arrivals.h"

#include <memory>

// The system's own notice of HID interfaces coming and going, for the platform
// this program was built for; where it gives none, a look at the enumeration
// every quarter of a second.
std::unique_ptr<HidArrivals> NativeHidArrivals();
