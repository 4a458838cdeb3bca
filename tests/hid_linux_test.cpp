#include "package_files.h"
#include "platform/hid_linux.h"

#include <gtest/gtest.h>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A FIFO stands in for a hidraw node: it opens the same way and hands over
// what was written, so the read path runs for real.
TEST(HidrawRead, AShortReportLeavesNothingOfTheLastOneBehind) {
    TempFolder dev;
    const auto node = dev / "hidraw0";
    ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
    const auto device = MakeHidrawSystem("/nonexistent", dev.Path().string())->OpenDevice(node.string());
    ASSERT_NE(device, nullptr);
    const int product = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(product, 0);

    // No report IDs here: the backend puts the 0 in front.
    const std::uint8_t ack[8] = {0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0};
    ASSERT_EQ(::write(product, ack, sizeof ack), static_cast<ssize_t>(sizeof ack));
    std::vector<std::uint8_t> report(9, 0xEE);
    ASSERT_EQ(device->ReadReport(report, std::chrono::milliseconds(300)), IoOutcome::Signalled);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x77, 0x77, 0x77, 0x77, 0x06, 0, 0, 0}));

    const std::uint8_t shorter[2] = {0x01, 0x02};
    ASSERT_EQ(::write(product, shorter, sizeof shorter), 2);
    ASSERT_EQ(device->ReadReport(report, std::chrono::milliseconds(300)), IoOutcome::Signalled);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x01, 0x02, 0, 0, 0, 0, 0, 0}));

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(device->ReadReport(report, std::chrono::milliseconds(300)), IoOutcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    ::close(product);
}

}  // namespace
