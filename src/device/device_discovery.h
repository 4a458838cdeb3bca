#pragma once

#include "device/hid_device.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The open product, or empty (the invalid handle) when the last search found none.
extern std::unique_ptr<HidDevice> DeviceHandle;

// A product the search opened, with the interface it was found at.
struct FoundProduct {
    std::size_t index = 0;
    std::string path;
    std::unique_ptr<HidDevice> device;
    DeviceIdentity identity;
};

// Which of the products with the IDs are wanted: those with this serial number
// and at this location, each where given, compared exactly.
struct ProductChoice {
    std::optional<std::string> serial;
    std::optional<std::string> location;

    bool Any() const { return !serial && !location; }
    bool Accepts(const DeviceIdentity& identity) const {
        return (!serial || *serial == identity.serial) && (!location || *location == identity.location);
    }
};

// Looks through the present HID interfaces in enumeration order and leaves the
// first one whose IDs match open in `handle`. Returns that interface's index,
// or, with `handle` empty, the number of interfaces enumerated. Every
// interface opened on the way that does not match is closed again.
// `accessDenied`, when given, tells whether an interface that says it has the
// IDs was refused to us, so the user can be told to grant access to it.
int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                std::unique_ptr<HidDevice>& handle, bool* accessDenied = nullptr);
// The same, telling the product's path too: `found.device` is empty when none matched.
// A product the `choice` does not accept is passed over as one with other IDs is.
int FindProduct(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId, FoundProduct& found,
                bool* accessDenied = nullptr, const ProductChoice& choice = {});

// Every present product with the IDs, in enumeration order, each already
// open; the others are closed again. A USB device with several interfaces
// with the IDs is one product, taken at the interface FindProduct would take;
// its other interfaces are not opened. `enumerated`, when given, is set to how
// many interfaces there were.
std::vector<FoundProduct> FindAllProducts(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                          bool* accessDenied = nullptr, int* enumerated = nullptr,
                                          const ProductChoice& choice = {});
