#include "platform/native_arrivals.h"

std::unique_ptr<HidArrivals> NativeHidArrivals() { return PollingArrivals(); }
