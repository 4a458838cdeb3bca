// The release number as people write it, both ways.

#include "device/usb_release.h"

#include <gtest/gtest.h>

namespace {

// Faults caught: the digits read as decimal (2.41 taken for 0x00F1), the
// minor digits not padded ("2.5" for 0x0205), a release that is no BCD
// refused as lsusb and the record write it (1.0a), a malformed text taken
// (one minor digit, a missing part, too many digits).
TEST(UsbRelease, ReadsAndWritesBothForms) {
    const struct {
        const char* text;
        std::optional<std::uint16_t> release;
    } rows[] = {
        {"2.41", 0x0241}, {"0x0241", 0x0241}, {"10.00", 0x1000}, {"0.05", 0x0005}, {"0XfFfF", 0xFFFF},
        {"1.0a", 0x010A}, {"2.4", std::nullopt}, {"2.411", std::nullopt}, {"2.g1", std::nullopt}, {".41", std::nullopt},
        {"123.00", std::nullopt}, {"241", std::nullopt}, {"0x", std::nullopt}, {"0x10000", std::nullopt},
        {"0x02g1", std::nullopt}, {"", std::nullopt}, {"2,41", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseRelease(row.text), row.release) << row.text;
    EXPECT_EQ(ReleaseText(0x0241), "2.41");
    EXPECT_EQ(ReleaseText(0x1005), "10.05");
    EXPECT_EQ(ReleaseText(0x0100), "1.00");
    EXPECT_EQ(ParseRelease(ReleaseText(0x010A)), 0x010A);
}

}  // namespace

namespace {

// Faults caught: the release taken from a Bluetooth product's ID, or from
// digits that are not the REV_ field's four; one in lower case missed.
TEST(UsbRelease, IsReadFromAUsbProductsHardwareIdAlone) {
    const struct {
        const char* id;
        std::optional<std::uint16_t> release;
    } rows[] = {
        {"USB\\VID_1D50&PID_6018&REV_0241", 0x0241},
        {"HID\\VID_1D50&PID_6018&REV_0241&MI_00", 0x0241},
        {"hid\\vid_1d50&pid_6018&rev_02a1", 0x02A1},
        {"HID\\VID_1D50&PID_6018", std::nullopt},
        {"HID\\VID_1D50&PID_6018&REV_024", std::nullopt},
        {"HID\\VID_1D50&PID_6018&REV_02411", std::nullopt},
        {"HID\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0002045e_PID&0b13&REV_0100", std::nullopt},
        {"BTHENUM\\VID_1D50&PID_6018&REV_0241", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ReleaseInHardwareId(row.id), row.release) << row.id;
}

}  // namespace
