#pragma once

#include "device/device_discovery.h"
#include "device/hid_arrivals.h"

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// What one look found: the products that arrived, open, in enumeration order;
// and the interfaces with the IDs whose node may not be opened, each told once
// while it stays attached.
struct WatchedChange {
    std::vector<FoundProduct> arrived;
    std::vector<std::string> denied;  // their paths
};

// Watches for products with the IDs as they are plugged in. Each interface is
// told of once while it stays attached, known by its path; one that left and
// came back is told of again. It knows nothing of what is done with a product,
// so that the command line's station and a window may both use it.
class ProductWatcher {
public:
    ProductWatcher(HidSystem& hid, HidArrivals& arrivals, std::uint16_t vendorId, std::uint16_t productId,
                   ProductChoice choice = {});

    // Waits up to `bound` for products that arrived since the last call.
    WatchedChange Arrived(std::chrono::milliseconds bound);

private:
    HidSystem& hid_;
    HidArrivals& arrivals_;
    std::uint16_t vendorId_, productId_;
    ProductChoice choice_;
    std::set<std::string> known_;  // the paths present at the last look, each looked at once
    bool retry_ = false;           // an interface with the IDs could not be opened yet
};
