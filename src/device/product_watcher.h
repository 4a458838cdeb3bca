#pragma once

#include "device/device_discovery.h"
#include "device/hid_arrivals.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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
// looked at once while it stays attached, known by what is new with every plug
// (its instance, or its path where the system tells none): one that left and
// came back is looked at again, even at the same path. A USB device is one
// product: it is taken once, at the interface FindProduct would take, once its
// interfaces have all appeared. It knows nothing of what is done with a
// product, so that the command line's station and a window may both use it.
class ProductWatcher {
public:
    using Clock = std::chrono::steady_clock;

    // `now` tells the time (the steady clock's unless given).
    ProductWatcher(HidSystem& hid, HidArrivals& arrivals, std::uint16_t vendorId, std::uint16_t productId,
                   ProductChoice choice = {}, std::function<Clock::time_point()> now = {});

    // Waits up to `bound` for products that arrived since the last call.
    WatchedChange Arrived(std::chrono::milliseconds bound);

private:
    // An interface with the IDs that could not be opened yet.
    struct Waiting {
        Clock::time_point since;    // when it was first tried
        Clock::time_point nextTry;
        bool told = false;          // its denied access was told
    };
    // A USB device not taken yet, whose interfaces may still be appearing.
    struct Settling {
        std::size_t interfaces = 0;
        Clock::time_point since;  // when it last had another number of interfaces
    };

    WatchedChange Look(Clock::time_point now);
    Clock::time_point NextLook() const;
    // The USB devices taken before that are still attached, with their interfaces now.
    std::map<std::string, std::set<std::string>> StillTaken(
        const std::map<std::string, std::set<std::string>>& interfacesOf) const;
    // The USB devices whose interfaces may still be appearing.
    std::set<std::string> Unsettled(const std::map<std::string, std::set<std::string>>& interfacesOf,
                                    const std::map<std::string, std::set<std::string>>& taken,
                                    Clock::time_point now);

    HidSystem& hid_;
    HidArrivals& arrivals_;
    std::uint16_t vendorId_, productId_;
    ProductChoice choice_;
    std::function<Clock::time_point()> now_;
    Clock::time_point lastLook_{};                // none yet: the first call looks at once
    std::set<std::string> done_;                  // interfaces looked at for good, while they stay
    std::map<std::string, Waiting> waiting_;      // by interface
    std::map<std::string, std::set<std::string>> taken_;  // USB devices taken, with their interfaces then present
    std::set<std::string> deniedDevices_;  // USB devices told of as denied, while they stay
    std::map<std::string, Settling> settling_;    // by USB device
};
