#include "device/device_discovery.h"

std::unique_ptr<HidDevice> DeviceHandle;

int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                std::unique_ptr<HidDevice>& handle) {
    handle.reset();
    const auto set = hid.PresentInterfaces();
    if (!set)
        return 0;
    int index = 0;
    for (;; ++index) {
        const InterfaceEntry entry = set->At(static_cast<std::size_t>(index));
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Unavailable)
            continue;
        auto device = hid.OpenDevice(entry.path);
        if (!device)
            continue;
        const auto ids = device->Attributes();
        if (ids && ids->VendorId == vendorId && ids->ProductId == productId) {
            handle = std::move(device);
            return index;
        }
        // `device` closes here: only the matching interface stays open.
    }
    return index;
}
