#include "device/device_discovery.h"

std::unique_ptr<HidDevice> DeviceHandle;

int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                std::unique_ptr<HidDevice>& handle, bool* accessDenied) {
    handle.reset();
    if (accessDenied)
        *accessDenied = false;
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
        OpenFailure why = OpenFailure::None;
        auto device = hid.OpenDevice(entry.path, &why);
        if (!device) {
            const auto& ids = entry.advertised;
            if (accessDenied && why == OpenFailure::AccessDenied && ids && ids->VendorId == vendorId &&
                ids->ProductId == productId)
                *accessDenied = true;
            continue;
        }
        const auto ids = device->Attributes();
        if (ids && ids->VendorId == vendorId && ids->ProductId == productId) {
            handle = std::move(device);
            return index;
        }
        // `device` closes here: only the matching interface stays open.
    }
    return index;
}

std::vector<FoundProduct> FindAllProducts(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                          bool* accessDenied) {
    std::vector<FoundProduct> found;
    if (accessDenied)
        *accessDenied = false;
    const auto set = hid.PresentInterfaces();
    if (!set)
        return found;
    for (std::size_t index = 0;; ++index) {
        const InterfaceEntry entry = set->At(index);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Unavailable)
            continue;
        OpenFailure why = OpenFailure::None;
        auto device = hid.OpenDevice(entry.path, &why);
        if (!device) {
            const auto& ids = entry.advertised;
            if (accessDenied && why == OpenFailure::AccessDenied && ids && ids->VendorId == vendorId &&
                ids->ProductId == productId)
                *accessDenied = true;
            continue;
        }
        const auto ids = device->Attributes();
        if (ids && ids->VendorId == vendorId && ids->ProductId == productId)
            found.push_back({index, entry.path, std::move(device)});
    }
    return found;
}
