#include "platform/native_hid.h"

// A build for a platform without a HID backend yet sees no HID interfaces, so
// the search ends with the "reconnect the device" warning.
namespace {

class NoInterfaces final : public HidInterfaceSet {
public:
    InterfaceEntry At(std::size_t) override { return InterfaceEntry::End(); }
};

class NoHid final : public HidSystem {
public:
    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override { return std::make_unique<NoInterfaces>(); }
    std::unique_ptr<HidDevice> OpenDevice(const std::string&, OpenFailure* why) override {
        if (why)
            *why = OpenFailure::Other;
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<HidSystem> NativeHidSystem() { return std::make_unique<NoHid>(); }
