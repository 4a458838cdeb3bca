#include "device/product_watcher.h"

#include <algorithm>

namespace {

// How soon an interface that says it has the IDs but could not be opened is
// tried again: a node's permissions are set a moment after it appears.
constexpr std::chrono::milliseconds RetryEvery{50};

}  // namespace

ProductWatcher::ProductWatcher(HidSystem& hid, HidArrivals& arrivals, std::uint16_t vendorId,
                               std::uint16_t productId, ProductChoice choice)
    : hid_(hid), arrivals_(arrivals), vendorId_(vendorId), productId_(productId), choice_(std::move(choice)) {}

WatchedChange ProductWatcher::Arrived(std::chrono::milliseconds bound) {
    const bool changed = arrivals_.WaitForChange(retry_ ? std::min(bound, RetryEvery) : bound);
    if (!changed && !retry_)
        return {};
    retry_ = false;
    WatchedChange change;
    std::vector<FoundProduct>& found = change.arrived;
    const auto set = hid_.PresentInterfaces();
    if (!set)
        return change;
    std::set<std::string> present;
    for (std::size_t index = 0;; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Unavailable)
            continue;
        if (known_.count(entry.path)) {  // told of already, or not the product: not opened again
            present.insert(entry.path);
            continue;
        }
        auto device = hid_.OpenDevice(entry.path);
        if (!device) {
            // One that says it has the IDs is tried again soon; one whose IDs
            // the system does not tell without opening it (Windows), at the
            // next change; one with other IDs, never.
            const auto& ids = entry.advertised;
            if (ids && ids->VendorId == vendorId_ && ids->ProductId == productId_)
                retry_ = true;
            else if (ids)
                present.insert(entry.path);
            continue;
        }
        present.insert(entry.path);
        const auto ids = device->Attributes();
        if (!ids || ids->VendorId != vendorId_ || ids->ProductId != productId_)
            continue;
        DeviceIdentity identity = device->Identity();
        if (choice_.Accepts(identity))
            found.push_back({index, entry.path, std::move(device), std::move(identity)});
    }
    known_ = std::move(present);
    return change;
}
