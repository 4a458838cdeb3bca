#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

// The utility's own view of the operating system's HID services. It follows the
// steps the upgrade takes (enumerate, open, identify, exchange reports, cancel,
// close) so that each platform backend maps onto it directly.

// How a bounded wait for a started write or read ended.
enum class IoOutcome {
    Signalled,  // the report went out / a report arrived
    TimedOut,   // the bound passed first
    Abandoned,  // the wait was abandoned; backends also report a product that has gone this way
    Failed,     // the wait itself failed
};

// What a caller does while it waits for a report.
using WhileWaiting = std::function<void()>;
// A read's wait is cut into slices this long: after a write's 50 ms, the window
// then never goes a tenth of a second without its events running.
inline constexpr std::chrono::milliseconds WaitSlice{10};

struct DeviceAttributes {
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
};

// Report lengths as the HID parser gives them, each counting the report-ID byte,
// and the ID of the output report of that length: the product's own, which
// byte 0 of every output report carries (0 for a product without report IDs).
struct ReportLengths {
    std::size_t OutputReportByteLength = 0;
    std::size_t InputReportByteLength = 0;
    std::uint8_t OutputReportId = 0;
};

// Who a product is and where it is plugged in, as far as the platform tells:
// its USB serial number, and a location that stays the same when the product
// is plugged again into the same port. Each is empty when unknown.
struct DeviceIdentity {
    std::string serial;
    std::string location;
    std::optional<std::uint16_t> release = std::nullopt;  // the USB release number (bcdDevice), where the platform tells it
};

// An open HID device; destroying it closes it.
class HidDevice {
public:
    virtual ~HidDevice() = default;

    virtual std::optional<DeviceAttributes> Attributes() = 0;
    virtual std::optional<ReportLengths> Capabilities() = 0;

    // Starts sending one output report (byte 0 is the report ID) and waits for it
    // at most `bound`. The backend owns the bytes until the write completes.
    virtual IoOutcome WriteReport(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) = 0;

    // Starts receiving one input report into `report` and waits at most `bound`.
    // Byte 0 is always the report ID (0 for a product without report IDs),
    // whatever the transport delivers. A wait that lasts is cut into slices of
    // at most WaitSlice, with `meanwhile` called between them (the window lets
    // its events run there); the bound stays the whole wait's.
    virtual IoOutcome ReadReport(std::span<std::uint8_t> report, std::chrono::milliseconds bound,
                                 const WhileWaiting& meanwhile = {}) = 0;

    // Cancels whatever I/O is still pending on the device. A driver may take
    // its time to end what was cancelled: that wait is bounded too, and
    // `meanwhile` is called between its slices, as in ReadReport.
    virtual void CancelPendingIo(const WhileWaiting& meanwhile = {}) = 0;

    // The maker's and the product's names as the device tells them, where the
    // platform gives them; empty otherwise.
    virtual std::string Description() { return {}; }

    virtual DeviceIdentity Identity() { return {}; }
};

// One entry of the enumeration of present HID interfaces.
struct InterfaceEntry {
    enum class Kind { Path, Unavailable, End };
    Kind kind = Kind::End;
    std::string path;  // only for Kind::Path
    // The IDs the system tells without opening the device, where it can.
    std::optional<DeviceAttributes> advertised;
    // What is new with every plug, even where the path is handed out again
    // (Linux: the HID device's sysfs name with its per-boot counter; Windows:
    // the device instance ID); empty where unknown, and the path stands for it.
    std::string instance;
    // The USB device the interface belongs to, shared by every interface of a
    // composite product (Linux: the USB device above the HID device in sysfs;
    // Windows: the parent device instance); empty where unknown, and the
    // interface is a device of its own.
    std::string usbDevice;

    static InterfaceEntry End() { return {}; }
    static InterfaceEntry Unavailable() { return {Kind::Unavailable, {}, std::nullopt, {}, {}}; }
    static InterfaceEntry At(std::string path, std::optional<DeviceAttributes> ids = std::nullopt,
                             std::string instance = {}, std::string usbDevice = {}) {
        return {Kind::Path, std::move(path), ids, std::move(instance), std::move(usbDevice)};
    }
};

// Why a device path could not be opened.
enum class OpenFailure { None, AccessDenied, Other };

// The set of HID interfaces present when it was taken; destroying it releases it.
class HidInterfaceSet {
public:
    virtual ~HidInterfaceSet() = default;
    // The interface at a zero-based index: its path, Unavailable when its path
    // cannot be had, or End past the last one.
    virtual InterfaceEntry At(std::size_t index) = 0;
};

class HidSystem {
public:
    virtual ~HidSystem() = default;
    virtual std::unique_ptr<HidInterfaceSet> PresentInterfaces() = 0;
    // Opens a device path for reading and writing, shared with other openers, for
    // bounded I/O; nullptr when it cannot be opened, and then `why` says why.
    virtual std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why = nullptr) = 0;
};
