#include "device/product_return.h"

#include "device/usb_release.h"

#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How often the interfaces are looked at while a product is awaited: a
// product's restart takes far longer, so it is never missed gone and back.
constexpr std::chrono::milliseconds LookForItEvery{50};

}  // namespace

ReturnVerdict JudgeReturn(std::optional<std::uint16_t> seen, std::uint16_t expected) {
    if (seen == expected)
        return {Outcome::Verified, {}};
    if (!seen)
        return {Outcome::NotVerified,
                "It came back, but the system does not tell its release: the new firmware was not seen running. "
                "Leave out --expect-release for such products."};
    return {Outcome::NotVerified, "It came back with release " + ReleaseText(*seen) + ", not " + ReleaseText(expected) +
                                      ": the new firmware is not running. Upgrade it again."};
}

std::string SecondsText(std::chrono::milliseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(span.count()) / 1000.0);
    return text;
}

std::string NotReturnedText(std::chrono::milliseconds within) {
    return "It did not come back within " + SecondsText(within) +
           " s of its upgrade: the new firmware was not seen running. Plug it in again and upgrade it again.";
}

std::set<std::string> PresentPlugs(HidSystem& hid) {
    std::set<std::string> plugs;
    const auto set = hid.PresentInterfaces();
    for (std::size_t i = 0; set; ++i) {
        const InterfaceEntry entry = set->At(i);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Path)
            plugs.insert(entry.instance.empty() ? entry.path : entry.instance);
    }
    return plugs;
}

std::optional<DeviceIdentity> AwaitReturn(HidSystem& hid, std::uint16_t vendorId, std::uint16_t productId,
                                          const DeviceIdentity& identity, std::set<std::string> before,
                                          std::chrono::milliseconds within, const std::atomic<bool>& stop) {
    const auto until = Clock::now() + within;
    for (;;) {
        std::set<std::string> now;
        const auto set = hid.PresentInterfaces();
        for (std::size_t i = 0; set; ++i) {
            const InterfaceEntry entry = set->At(i);
            if (entry.kind == InterfaceEntry::Kind::End)
                break;
            if (entry.kind != InterfaceEntry::Kind::Path)
                continue;
            const std::string plug = entry.instance.empty() ? entry.path : entry.instance;
            now.insert(plug);
            if (before.count(plug))
                continue;
            if (entry.advertised &&
                (entry.advertised->VendorId != vendorId || entry.advertised->ProductId != productId))
                continue;
            const auto device = hid.OpenDevice(entry.path);
            const auto ids = device ? device->Attributes() : std::nullopt;
            if (!ids || ids->VendorId != vendorId || ids->ProductId != productId)
                continue;
            DeviceIdentity back = device->Identity();
            if (identity.serial.empty() ? !identity.location.empty() && back.location == identity.location
                                        : back.serial == identity.serial)
                return back;
        }
        before = std::move(now);  // an interface looked at and not it is not looked at again while it stays
        if (stop.load() || Clock::now() >= until)
            return std::nullopt;
        std::this_thread::sleep_for(LookForItEvery);
    }
}
