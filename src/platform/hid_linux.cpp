#include "platform/hid_linux.h"
#include "platform/native_hid.h"

#include "platform/hid_report_descriptor.h"
#include "platform/hid_writer_linux.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What is left of `bound` since `start`, rounded up to whole milliseconds, so
// that a wait cut into pieces (by signals, or into slices) never gives up early.
std::chrono::milliseconds LeftOf(std::chrono::milliseconds bound, Clock::time_point start) {
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(bound - (Clock::now() - start)),
                    std::chrono::milliseconds{0});
}

// Waits up to `bound` for `events` on `fd`, across interruptions.
// Returns the revents, 0 on time-out, -1 with errno on failure.
int WaitFor(int fd, short events, std::chrono::milliseconds bound) {
    const auto start = Clock::now();
    auto left = bound;
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return p.revents;
        if (ready == 0 || errno != EINTR)
            return ready;
        left = LeftOf(bound, start);
    }
}

// The release number (bcdDevice) of the USB device the HID device in sysfs
// belongs to: a USB HID device sits in its USB interface, which sits in its USB
// device. One on no USB interface (uhid's, under its misc device; a Bluetooth
// one, even on a USB adapter) has none.
std::optional<std::uint16_t> UsbReleaseAbove(const std::string& hidDevice) {
    std::error_code error;
    const auto interface = std::filesystem::canonical(hidDevice, error).parent_path();
    if (error || !std::filesystem::exists(interface / "bInterfaceNumber", error))
        return std::nullopt;
    std::ifstream file(interface.parent_path() / "bcdDevice");
    unsigned release = 0;
    if (!(file >> std::hex >> release) || release > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(release);
}

class HidrawDevice final : public HidDevice {
public:
    // `sysfsDevice`: the node's device folder in sysfs, which holds a copy of its report descriptor.
    HidrawDevice(int fd, bool writesWait, std::string sysfsDevice)
        : writer_(fd, writesWait), fd_(fd), sysfsDevice_(std::move(sysfsDevice)) {}
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    std::optional<DeviceAttributes> Attributes() override {
        hidraw_devinfo info{};
        if (::ioctl(fd_, HIDIOCGRAWINFO, &info) < 0)
            return std::nullopt;
        return DeviceAttributes{static_cast<std::uint16_t>(info.vendor), static_cast<std::uint16_t>(info.product)};
    }

    std::optional<ReportLengths> Capabilities() override {
        const auto reports = Described();
        if (!reports)
            return std::nullopt;
        return ReportLengths{reports->outputReportByteLength, reports->inputReportByteLength, reports->outputReportId};
    }

    IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) override {
        // The kernel takes the whole report, report-ID byte first, in one call
        // (and strips a 0 ID for a product without IDs). A product with IDs
        // must be sent its own: usbhid would strip a 0 there too, and the
        // product take the first data byte for the ID.
        return writer_.Write(report, bound);
    }

    IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                         const WhileWaiting& meanwhile) override {
        if (report.empty())
            return IoOutcome::Failed;
        const auto reports = Described();
        // Without report IDs the kernel delivers the report alone: put the 0 ID
        // in front so that every report looks alike to the protocol.
        const bool addId = !reports || !reports->usesReportIds;
        const std::span<std::uint8_t> into = addId ? report.subspan(1) : report;
        const auto start = Clock::now();  // spurious wake-ups must not stretch the bound
        for (;;) {
            const auto left = LeftOf(bound, start);
            const int ready = WaitFor(fd_, POLLIN, meanwhile ? std::min(left, WaitSlice) : left);
            if (ready == 0 && meanwhile && left > WaitSlice) {
                meanwhile();
                continue;
            }
            if (ready == 0)
                return IoOutcome::TimedOut;
            if (ready < 0)
                return IoOutcome::Failed;
            if (ready & (POLLERR | POLLHUP | POLLNVAL)) {
                // Reports that came before the product left are still delivered.
                if (!(ready & POLLIN))
                    return IoOutcome::Abandoned;
            }
            const ssize_t n = ::read(fd_, into.data(), into.size());
            if (n > 0) {
                if (addId)
                    report[0] = 0;
                // A shorter report must not show what the last one left behind
                // (an old acknowledgement would be read again).
                std::fill(into.begin() + n, into.end(), std::uint8_t{0});
                return IoOutcome::Signalled;
            }
            if (n == 0 || HidrawDeviceGone(errno))
                return IoOutcome::Abandoned;
            if (errno != EINTR && errno != EAGAIN)
                return IoOutcome::Failed;
        }
    }

    // A read is never left pending past its bound; reports still waiting for
    // their turn are dropped, and one already in the kernel ends on its own.
    void CancelPendingIo(const WhileWaiting&) override { writer_.CancelQueued(); }

    std::string Description() override {
        char name[256] = {};
        if (::ioctl(fd_, HIDIOCGRAWNAME(sizeof name - 1), name) < 0)
            return {};
        return name;
    }

    // A node that answers no hidraw request is told of by its HID device's
    // uevent; the release number is the USB device's, which sysfs alone tells.
    DeviceIdentity Identity() override {
        const int fd = fd_;
        auto identity = IdentityFromNode([fd](unsigned long request, void* argument) {
            return ::ioctl(fd, request, argument);
        });
        if (!identity) {
            identity.emplace();
            std::ifstream uevent(sysfsDevice_ + "/uevent");
            for (std::string line; std::getline(uevent, line);) {
                if (line.rfind("HID_UNIQ=", 0) == 0)
                    identity->serial = line.substr(9);
                else if (line.rfind("HID_PHYS=", 0) == 0)
                    identity->location = line.substr(9);
            }
        }
        identity->release = UsbReleaseAbove(sysfsDevice_);
        return *identity;
    }

private:
    const std::optional<DescribedReports>& Described() {
        if (!described_) {
            described_ = std::optional<DescribedReports>{};
            if (const auto descriptor = Descriptor())
                *described_ = ParseReportDescriptor(*descriptor);
        }
        return *described_;
    }

    // The node's report descriptor; a node that answers no hidraw request (a
    // stand-in for one) is described by the copy sysfs keeps of it.
    std::optional<std::vector<std::uint8_t>> Descriptor() const {
        int size = 0;
        hidraw_report_descriptor descriptor{};
        if (::ioctl(fd_, HIDIOCGRDESCSIZE, &size) == 0) {
            if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE)
                return std::nullopt;
            descriptor.size = static_cast<__u32>(size);
            if (::ioctl(fd_, HIDIOCGRDESC, &descriptor) != 0)
                return std::nullopt;
            return std::vector<std::uint8_t>(descriptor.value, descriptor.value + descriptor.size);
        }
        std::ifstream copy(sysfsDevice_ + "/report_descriptor", std::ios::binary);
        std::vector<std::uint8_t> bytes(HID_MAX_DESCRIPTOR_SIZE + 1);
        copy.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const auto got = static_cast<std::size_t>(copy.gcount());
        if (got == 0 || got > HID_MAX_DESCRIPTOR_SIZE)
            return std::nullopt;
        bytes.resize(got);
        return bytes;
    }

    HidWriter writer_;  // owns the node and closes it
    const int fd_;
    const std::string sysfsDevice_;
    std::optional<std::optional<DescribedReports>> described_;  // asked once per open device
};

class HidrawSet final : public HidInterfaceSet {
public:
    HidrawSet(std::vector<std::string> names, std::string classFolder, std::string deviceFolder)
        : names_(std::move(names)), classFolder_(std::move(classFolder)), deviceFolder_(std::move(deviceFolder)) {}

    InterfaceEntry At(std::size_t index) override {
        if (index >= names_.size())
            return InterfaceEntry::End();
        const std::string device = classFolder_ + "/" + names_[index] + "/device";
        std::string instance, usbDevice;
        // The node's HID device, named with a counter the kernel steps for
        // every HID device it makes ("0003:1D50:6018.000A"); a USB product's
        // sits in its USB interface, which sits in the USB device.
        // A node gone since the listing is passed over: its path may already
        // be the next product's, which would then be taken by the path now
        // and by its instance at the next look, twice at once.
        std::error_code error;
        if (!std::filesystem::exists(classFolder_ + "/" + names_[index], error))
            return InterfaceEntry::Unavailable();
        if (std::filesystem::is_symlink(device, error)) {
            const auto hidDevice = std::filesystem::canonical(device, error);
            if (!error) {
                instance = hidDevice.filename().string();
                const auto usbInterface = hidDevice.parent_path();
                if (UeventField(Uevent(usbInterface.string()), "DEVTYPE") == "usb_interface")
                    usbDevice = usbInterface.parent_path().string();
            }
        }
        return InterfaceEntry::At(deviceFolder_ + "/" + names_[index], IdsFromUevent(Uevent(device)),
                                  std::move(instance), std::move(usbDevice));
    }

private:
    static std::string Uevent(const std::string& sysfsDevice) {
        std::ifstream uevent(sysfsDevice + "/uevent");
        std::stringstream text;
        text << uevent.rdbuf();
        return text.str();
    }

    static std::string UeventField(const std::string& uevent, const std::string& name) {
        std::istringstream lines(uevent);
        for (std::string line; std::getline(lines, line);)
            if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=')
                return line.substr(name.size() + 1);
        return {};
    }

    std::vector<std::string> names_;
    std::string classFolder_, deviceFolder_;
};

class HidrawSystem final : public HidSystem {
public:
    HidrawSystem(std::string classFolder, std::string deviceFolder)
        : classFolder_(std::move(classFolder)), deviceFolder_(std::move(deviceFolder)) {}

    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override {
        std::vector<std::pair<unsigned long, std::string>> found;
        std::error_code error;
        // Stepping with an error code: an entry that vanishes or cannot be read
        // ends the listing quietly instead of throwing out of the search.
        for (std::filesystem::directory_iterator it(classFolder_, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            unsigned long number = 0;
            const char* digits = name.c_str() + 6;
            if (name.rfind("hidraw", 0) != 0 || name.size() == 6 ||
                std::from_chars(digits, name.c_str() + name.size(), number).ptr != name.c_str() + name.size())
                continue;
            found.emplace_back(number, name);
        }
        std::sort(found.begin(), found.end());  // hidraw2 before hidraw10
        std::vector<std::string> names;
        names.reserve(found.size());
        for (auto& [number, name] : found)
            names.push_back(std::move(name));
        return std::make_unique<HidrawSet>(std::move(names), classFolder_, deviceFolder_);
    }

    std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why) override {
        // O_NOCTTY: a path that names a terminal never becomes this process's.
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            if (why)
                *why = (errno == EACCES || errno == EPERM) ? OpenFailure::AccessDenied : OpenFailure::Other;
            return nullptr;
        }
        const std::string sysfsDevice = classFolder_ + "/" + std::filesystem::path(path).filename().string() + "/device";
        return std::make_unique<HidrawDevice>(fd, WritesMayWait(sysfsDevice), sysfsDevice);
    }

private:
    // Whether a write to the node may wait for the product: not through uhid,
    // whose devices sit under its misc device in sysfs.
    static bool WritesMayWait(const std::string& sysfsDevice) {
        std::error_code error;
        const auto device = std::filesystem::canonical(sysfsDevice, error);
        return error || device.string().find("/virtual/misc/uhid/") == std::string::npos;
    }

    std::string classFolder_, deviceFolder_;
};

}  // namespace

std::optional<DeviceAttributes> IdsFromUevent(const std::string& uevent) {
    std::istringstream lines(uevent);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("HID_ID=", 0) != 0)
            continue;
        // bus:vendor:product, each in hexadecimal
        unsigned bus = 0, vendor = 0, product = 0;
        char colon1 = 0, colon2 = 0;
        std::istringstream fields(line.substr(7));
        fields >> std::hex >> bus >> colon1 >> vendor >> colon2 >> product;
        if (!fields.fail() && colon1 == ':' && colon2 == ':' && vendor <= 0xFFFF && product <= 0xFFFF)
            return DeviceAttributes{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
        return std::nullopt;
    }
    return std::nullopt;
}

// The serial number is the product's USB serial string (uhid: what its
// creator set); the location is the HID physical path, which for USB names the
// controller and the chain of ports ("usb-0000:00:14.0-3.2/input0"), the same
// each time the product is plugged into that port.
std::optional<DeviceIdentity> IdentityFromNode(const HidrawRequest& ask) {
    DeviceIdentity identity;
    char text[256] = {};
    if (ask(HIDIOCGRAWUNIQ(sizeof text - 1), text) < 0)
        return std::nullopt;
    identity.serial = text;
    std::fill(std::begin(text), std::end(text), '\0');
    if (ask(HIDIOCGRAWPHYS(sizeof text - 1), text) >= 0)
        identity.location = text;
    return identity;
}

std::unique_ptr<HidSystem> MakeHidrawSystem(std::string classFolder, std::string deviceFolder) {
    return std::make_unique<HidrawSystem>(std::move(classFolder), std::move(deviceFolder));
}

std::unique_ptr<HidSystem> NativeHidSystem() { return MakeHidrawSystem(); }
