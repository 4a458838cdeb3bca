#pragma once

#include <chrono>
#include <memory>

// Tells when the HID interfaces present may have changed, so that a product is
// looked for as soon as it is plugged in while a caller that waits for one
// costs next to no CPU.
class HidArrivals {
public:
    virtual ~HidArrivals() = default;
    // Waits up to `bound`; true when interfaces may have come or gone since the
    // last call (the first call always says so).
    virtual bool WaitForChange(std::chrono::milliseconds bound) = 0;
};

// For a system that tells nothing of its devices' comings and goings: every
// wait may have seen a change, and lasts at most `every`, the longest a product
// then waits to be noticed.
std::unique_ptr<HidArrivals> PollingArrivals(std::chrono::milliseconds every = std::chrono::milliseconds(250));
