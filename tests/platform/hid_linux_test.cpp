#include "support/package_files.h"
#include "platform/hid_linux.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>

#include <dirent.h>
#include <dlfcn.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// A listing that fails part-way, as readdir() does on a file system that errs:
// this program's readdir comes before the C library's, and fails once the count
// set here runs out.
namespace {
std::atomic<int> readdirCallsLeft{-1};  // -1: never fails
}  // namespace

extern "C" dirent* readdir(DIR* folder) {
    static const auto real = reinterpret_cast<dirent* (*)(DIR*)>(::dlsym(RTLD_NEXT, "readdir"));
    if (readdirCallsLeft >= 0 && readdirCallsLeft-- == 0) {
        errno = EIO;
        return nullptr;
    }
    return real(folder);
}

namespace {

TEST(HidrawEnumeration, NumericOrderWithIdsFromSysfs) {
    TempFolder sys;
    const auto add = [&](const std::string& name, const std::string& uevent) {
        std::filesystem::create_directories(sys / name / "device");
        std::ofstream(sys / name / "device" / "uevent") << uevent;
    };
    add("hidraw10", "DRIVER=hid-generic\nHID_ID=0003:00001D50:00006018\nHID_NAME=Product\n");
    add("hidraw2", "HID_ID=0003:0000845E:00000001\n");
    add("hidraw1", "HID_NAME=no ids here\n");
    add("hidrawX", "HID_ID=0003:00000001:00000001\n");  // not a hidraw node
    std::filesystem::create_directories(sys / "other");

    const auto hid = MakeHidrawSystem(sys.Path().string(), "/dev");
    const auto set = hid->PresentInterfaces();
    const InterfaceEntry first = set->At(0), second = set->At(1), third = set->At(2);
    EXPECT_EQ(first.path, "/dev/hidraw1");
    EXPECT_FALSE(first.advertised.has_value());
    EXPECT_EQ(second.path, "/dev/hidraw2");
    ASSERT_TRUE(second.advertised.has_value());
    EXPECT_EQ(second.advertised->VendorId, 0x845E);
    EXPECT_EQ(third.path, "/dev/hidraw10");
    ASSERT_TRUE(third.advertised.has_value());
    EXPECT_EQ(third.advertised->VendorId, 0x1D50);
    EXPECT_EQ(third.advertised->ProductId, 0x6018);
    EXPECT_EQ(set->At(3).kind, InterfaceEntry::Kind::End);
}

TEST(HidrawEnumeration, AListingThatFailsPartWayEndsQuietly) {
    TempFolder sys;
    for (const char* name : {"hidraw0", "hidraw1", "hidraw2"})
        std::filesystem::create_directories(sys / name);
    // Three entries and the two dots: the first one is found by the fourth call
    // at the latest, so the fifth fails while stepping on.
    readdirCallsLeft = 4;
    std::unique_ptr<HidInterfaceSet> set;
    EXPECT_NO_THROW(set = MakeHidrawSystem(sys.Path().string(), "/dev")->PresentInterfaces());
    readdirCallsLeft = -1;
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->At(0).kind, InterfaceEntry::Kind::Path) << "what was listed before the failure";
    EXPECT_EQ(set->At(3).kind, InterfaceEntry::Kind::End);
}

TEST(HidrawEnumeration, NoClassFolderMeansNoInterfaces) {
    const auto hid = MakeHidrawSystem("/nonexistent/class/hidraw", "/dev");
    EXPECT_EQ(hid->PresentInterfaces()->At(0).kind, InterfaceEntry::Kind::End);
}

TEST(HidrawEnumeration, UeventIdsAreReadStrictly) {
    EXPECT_FALSE(IdsFromUevent("").has_value());
    EXPECT_FALSE(IdsFromUevent("HID_ID=0003-00001D50-00006018\n").has_value());
    EXPECT_FALSE(IdsFromUevent("HID_ID=0003:00011D50:00006018\n").has_value()) << "vendor beyond 16 bits";
    const auto ids = IdsFromUevent("HID_ID=0005:0000046D:0000B01A\n");
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->VendorId, 0x046D);
    EXPECT_EQ(ids->ProductId, 0xB01A);
}

// Opens `path` as an unprivileged user (a child process gives up root first)
// and tells why it failed.
OpenFailure OpenAsNobody(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(9);
        OpenFailure why = OpenFailure::None;
        const auto device = MakeHidrawSystem("/nonexistent", "/dev")->OpenDevice(path, &why);
        ::_exit(device ? 8 : static_cast<int>(why));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) < 3 ? static_cast<OpenFailure>(WEXITSTATUS(status))
                                                        : OpenFailure::None;
}

TEST(HidrawOpen, APathWeMayNotOpenSaysSo) {
    TempFolder dev;
    std::filesystem::permissions(dev.Path(), std::filesystem::perms::all);  // let anyone reach the node
    const auto node = dev / "hidraw0";
    WriteBytes(node, {});
    std::filesystem::permissions(node, std::filesystem::perms::owner_read);
    EXPECT_EQ(OpenAsNobody(node.string()), OpenFailure::AccessDenied);
    EXPECT_EQ(OpenAsNobody((dev / "hidraw9").string()), OpenFailure::Other);
}

}  // namespace

namespace {

// Faults caught: a product plugged in at a reused node not told from the one
// before it (no instance, or one without the kernel's counter); a node that
// left between the listing and the look taken by its path, so that the
// product plugged in next at that path was taken by path and then again by
// its instance, two upgrades at once; a composite product's interfaces not
// known to share their USB device, or a uhid product taken for one on USB.
TEST(HidrawEnumeration, InstanceAndUsbDeviceFromSysfs) {
    TempFolder sys;
    const auto usbDevice = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-1";
    const auto add = [&](const std::string& node, const std::filesystem::path& hidDevice) {
        std::filesystem::create_directories(hidDevice);
        std::ofstream(hidDevice / "uevent") << "HID_ID=0003:00001D50:00006018\n";
        std::filesystem::create_directories(sys / "class/hidraw" / node);
        std::filesystem::create_directory_symlink(hidDevice, sys / "class/hidraw" / node / "device");
    };
    for (const char* usbInterface : {"1-1:1.0", "1-1:1.1"}) {
        std::filesystem::create_directories(usbDevice / usbInterface);
        std::ofstream(usbDevice / usbInterface / "uevent") << "DEVTYPE=usb_interface\nDRIVER=usbhid\n";
    }
    add("hidraw0", usbDevice / "1-1:1.0/0003:1D50:6018.000A");
    add("hidraw1", usbDevice / "1-1:1.1/0003:1D50:6018.000B");
    add("hidraw2", sys / "devices/virtual/misc/uhid/0003:1D50:6018.000C");

    add("hidraw3", sys / "devices/virtual/misc/uhid/0003:1D50:6018.000D");

    const auto set = MakeHidrawSystem((sys / "class/hidraw").string(), "/dev")->PresentInterfaces();
    std::filesystem::remove_all(sys / "class/hidraw/hidraw3");  // unplugged after the listing
    EXPECT_EQ(set->At(3).kind, InterfaceEntry::Kind::Unavailable);
    const InterfaceEntry vendor = set->At(0), keyboard = set->At(1), uhid = set->At(2);
    EXPECT_EQ(vendor.instance, "0003:1D50:6018.000A");
    EXPECT_EQ(keyboard.instance, "0003:1D50:6018.000B");
    EXPECT_EQ(uhid.instance, "0003:1D50:6018.000C");
    EXPECT_EQ(vendor.usbDevice, std::filesystem::canonical(usbDevice).string());
    EXPECT_EQ(keyboard.usbDevice, vendor.usbDevice);
    EXPECT_EQ(uhid.usbDevice, "");
    ASSERT_TRUE(uhid.advertised.has_value());
    EXPECT_EQ(uhid.advertised->ProductId, 0x6018);
}

}  // namespace
