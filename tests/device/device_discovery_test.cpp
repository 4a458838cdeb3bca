#include "device/device_discovery.h"
#include "simulated/simulated_hid.h"

#include <gtest/gtest.h>

namespace {

SimulatedInterface Interface(std::uint16_t vid, std::uint16_t pid) {
    SimulatedInterface i;
    i.vendorId = vid;
    i.productId = pid;
    return i;
}

constexpr std::uint16_t kVid = 0x1D50, kPid = 0x6018;

TEST(DeviceDiscovery, NoInterfacesAtAll) {
    SimulatedHid hid;
    std::unique_ptr<HidDevice> handle;
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle), 0);
    EXPECT_EQ(handle, nullptr);
}

TEST(DeviceDiscovery, NoMatchCountsEveryInterfaceAndClosesWhatItOpened) {
    SimulatedHid hid;
    hid.Attach(Interface(0x845E, 0x0001));
    hid.Attach(Interface(kVid, 0x0002));  // right vendor, wrong product
    hid.Attach(Interface(0x0002, kPid));  // wrong vendor, right product
    std::unique_ptr<HidDevice> handle;
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle), 3);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(hid.OpenHandles(), 0);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(hid.Log(i).opens, 1) << i;
}

TEST(DeviceDiscovery, TheFirstMatchInEnumerationOrderWins) {
    SimulatedHid hid;
    hid.Attach(Interface(0x845E, 0x0002));
    hid.Attach(Interface(kVid, kPid));
    hid.Attach(Interface(kVid, kPid));  // the same product's second interface
    std::unique_ptr<HidDevice> handle;
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle), 1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(hid.Log(0).openHandles, 0);
    EXPECT_EQ(hid.Log(1).openHandles, 1);
    EXPECT_EQ(hid.Log(2).opens, 0) << "the second interface is never opened";
    // Fault caught: the window's search asked every candidate for its serial
    // number and location, string requests it never uses and that a product
    // may stall for seconds.
    EXPECT_EQ(hid.Log(1).identityReads, 0);
    handle.reset();
    EXPECT_EQ(hid.OpenHandles(), 0);
}

TEST(DeviceDiscovery, InterfacesThatCannotBeUsedAreSkippedAndCounted) {
    SimulatedHid hid;
    auto noPath = Interface(kVid, kPid);
    noPath.pathAvailable = false;
    auto locked = Interface(kVid, kPid);
    locked.opens = false;
    auto mute = Interface(kVid, kPid);
    mute.attributesReadable = false;
    hid.Attach(noPath);
    hid.Attach(locked);
    hid.Attach(mute);

    std::unique_ptr<HidDevice> handle;
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle), 3);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(hid.Log(0).opens, 0);
    EXPECT_EQ(hid.Log(2).opens, 1);
    EXPECT_EQ(hid.OpenHandles(), 0);

    hid.Attach(Interface(kVid, kPid));
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle), 3) << "index of the usable one";
    EXPECT_NE(handle, nullptr);
}

TEST(DeviceDiscovery, TellsWhenTheProductItselfWasRefused) {
    SimulatedHid hid;
    auto refused = Interface(kVid, kPid);
    refused.accessDenied = true;
    refused.advertisesIds = true;
    auto otherRefused = Interface(0x0001, 0x0002);
    otherRefused.accessDenied = true;
    otherRefused.advertisesIds = true;
    hid.Attach(otherRefused);
    std::unique_ptr<HidDevice> handle;
    bool denied = true;
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle, &denied), 1);
    EXPECT_FALSE(denied) << "another product was refused, not ours";
    hid.Attach(refused);
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle, &denied), 2);
    EXPECT_TRUE(denied);
    EXPECT_EQ(handle, nullptr);

    // Once access is granted, the same search opens it and says nothing of refusal.
    hid.DetachAll();
    refused.accessDenied = false;
    hid.Attach(refused);
    EXPECT_EQ(FindProduct(hid, kVid, kPid, handle, &denied), 0);
    EXPECT_FALSE(denied);
    EXPECT_NE(handle, nullptr);
}

TEST(DeviceDiscovery, EverySearchSetsTheHandle) {
    SimulatedHid hid;
    hid.Attach(Interface(kVid, kPid));
    std::unique_ptr<HidDevice> handle;
    ASSERT_EQ(FindProduct(hid, kVid, kPid, handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(FindProduct(hid, 0x0001, 0x0001, handle), 1);
    EXPECT_EQ(handle, nullptr) << "a failed search leaves the invalid handle";
    EXPECT_EQ(hid.OpenHandles(), 0);
}

}  // namespace

namespace {

SimulatedInterface OnUsbDevice(std::string usbDevice, std::string location = {}) {
    SimulatedInterface i = Interface(kVid, kPid);
    i.usbDevice = std::move(usbDevice);
    i.identity.location = std::move(location);
    return i;
}

// Faults caught: every interface of a composite product taken as a product of
// its own, so that its keyboard gets the firmware as well; the keyboard opened
// at all; products without a USB device (uhid) taken as one.
TEST(DeviceDiscovery, FindAllTakesEachUsbDeviceOnceAtItsFirstInterface) {
    SimulatedHid hid;
    hid.Attach(OnUsbDevice("usb-1"));
    hid.Attach(OnUsbDevice("usb-1"));  // its keyboard
    hid.Attach(OnUsbDevice("usb-2"));
    hid.Attach(OnUsbDevice(""));
    hid.Attach(OnUsbDevice(""));
    int enumerated = 0;
    const auto found = FindAllProducts(hid, kVid, kPid, nullptr, &enumerated);
    std::vector<std::size_t> indexes;
    for (const auto& product : found)
        indexes.push_back(product.index);
    EXPECT_EQ(indexes, (std::vector<std::size_t>{0, 2, 3, 4}));
    EXPECT_EQ(enumerated, 5);
    EXPECT_EQ(hid.Log(1).opens, 0) << "the keyboard";
}

// Fault caught: a location matched as a prefix, so that the product on port 1
// is taken for the one on port 10 and the other way round.
TEST(DeviceDiscovery, ALocationIsMatchedWhole) {
    SimulatedHid hid;
    hid.Attach(OnUsbDevice("usb-10", "usb-0000:00:14.0-10"));
    hid.Attach(OnUsbDevice("usb-1", "usb-0000:00:14.0-1"));
    ProductChoice choice;
    choice.location = "usb-0000:00:14.0-1";
    const auto found = FindAllProducts(hid, kVid, kPid, nullptr, nullptr, choice);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().index, 1u);
}

}  // namespace
