#include "device/device_discovery.h"

#include <set>

std::unique_ptr<HidDevice> DeviceHandle;

namespace {

// Opens the present interfaces in enumeration order and keeps open those with
// the IDs (the first alone when `firstOnly`); every other one is closed
// again. A USB device is taken once, at its first interface with the IDs: the
// other interfaces of a composite product (its keyboard) are never opened.
// The serial number and location, string requests that a product may answer
// slowly, are asked for only where they are wanted: to choose by them, or to
// tell them (`identify`). Returns how many interfaces were enumerated up to
// where it stopped.
int Scan(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId, bool firstOnly, bool identify,
         bool* accessDenied, const ProductChoice& choice, std::vector<FoundProduct>& found) {
    if (accessDenied)
        *accessDenied = false;
    const auto set = hid.PresentInterfaces();
    if (!set)
        return 0;
    std::set<std::string> devicesTaken;
    int index = 0;
    for (;; ++index) {
        const InterfaceEntry entry = set->At(static_cast<std::size_t>(index));
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Unavailable)
            continue;
        if (!entry.usbDevice.empty() && devicesTaken.count(entry.usbDevice))
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
            DeviceIdentity identity = identify || !choice.Any() ? device->Identity() : DeviceIdentity{};
            if (choice.Accepts(identity)) {
                devicesTaken.insert(entry.usbDevice);
                found.push_back({static_cast<std::size_t>(index), entry.path, std::move(device), std::move(identity)});
                if (firstOnly)
                    return index;
            }
        }
        // `device`, if still held, closes here.
    }
    return index;
}

}  // namespace

int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId, FoundProduct& product,
                bool* accessDenied, const ProductChoice& choice) {
    product = {};
    std::vector<FoundProduct> found;
    const int index = Scan(hid, vendorId, productId, true, true, accessDenied, choice, found);
    if (!found.empty())
        product = std::move(found.front());
    return index;
}

// The window's search: the first interface with the IDs, nothing asked of it
// but its IDs.
int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                std::unique_ptr<HidDevice>& handle, bool* accessDenied) {
    std::vector<FoundProduct> found;
    const int index = Scan(hid, vendorId, productId, true, false, accessDenied, {}, found);
    handle = found.empty() ? nullptr : std::move(found.front().device);
    return index;
}

std::vector<FoundProduct> FindAllProducts(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                          bool* accessDenied, int* enumerated, const ProductChoice& choice) {
    std::vector<FoundProduct> found;
    const int count = Scan(hid, vendorId, productId, false, true, accessDenied, choice, found);
    if (enumerated)
        *enumerated = count;
    return found;
}
