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
