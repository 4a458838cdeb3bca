#pragma once

#include "device/hid_arrivals.h"
#include "device/hid_device.h"
#include "simulated/simulated_product.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One HID interface as the simulated system shows it.
struct SimulatedInterface {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    ProductConfig product;
    bool pathAvailable = true;       // false: its path cannot be had
    bool opens = true;               // false: opening its path fails
    bool accessDenied = false;       // opening fails for want of permission
    bool advertisesIds = false;      // the enumeration tells its IDs, as sysfs does
    bool attributesReadable = true;
    bool capabilitiesReadable = true;
    std::optional<std::size_t> goneAfterReports;  // unplugged once this many reports arrived
    std::optional<std::size_t> stallsAfterReports;  // takes no more once this many arrived: writes time out
    std::string description;                       // the maker's and product's names
    DeviceIdentity identity;                       // its serial number and location
    std::string usbDevice;  // the USB device it belongs to, shared by a composite product's interfaces; empty: uhid
    bool tellsInstance = true;  // false: the enumeration tells no instance, and the path stands for it
    int cancelSlices = 0;  // a driver that ends cancelled requests only after this many slices of waiting
};

// What happened on one interface, for tests to look at.
struct InterfaceLog {
    int opens = 0;
    int openAttempts = 0;  // opened or not (its access denied, say)
    int openHandles = 0;
    std::vector<std::vector<std::uint8_t>> reports;  // every output report, byte for byte
    std::vector<std::chrono::milliseconds> writeBounds;
    std::vector<std::chrono::milliseconds> readBounds;
    int cancels = 0;
    int identityReads = 0;  // serial number and location asked for (string requests a product may stall)
    std::string sequence;  // 'W' a write, 'R' a read, 'C' a cancel, in the order they came
};

// An in-process HID system with any number of simulated products. It never
// sleeps: a wait that would time out returns TimedOut at once. Products may be
// attached while another thread searches, and each open device may be used on
// a thread of its own.
class SimulatedHid final : public HidSystem {
public:
    // How the interfaces' paths are numbered: each attach a number of its own
    // (its index), or the lowest number no attached interface holds, as hidraw
    // hands out its nodes, so that a product plugged in after another left
    // may be given the same path.
    enum class Paths { Unique, LowestFree };
    explicit SimulatedHid(Paths paths = Paths::Unique);
    ~SimulatedHid() override;

    // Attaches an interface; returns its index. Its path carries its index, or
    // with Paths::LowestFree the lowest free number; every attach is a new instance.
    std::size_t Attach(SimulatedInterface attached);
    std::string PathOf(std::size_t index) const;
    // Unplugs one interface: it leaves the enumeration, its open devices find
    // it gone, and its log stays to be looked at.
    void Detach(std::size_t index);
    void DetachAll();
    // Lets this program open an interface it was denied, as a udev rule does a moment after the node appears.
    void GrantAccess(std::size_t index);
    // Lets go of what an unplugged interface recorded (its log, what its
    // product took), for a run that plugs in thousands; its index stays. A
    // device still open on it keeps the old record to itself until it closes.
    void Forget(std::size_t index);

    // Tells of interfaces attached and detached from now on, waiting for them
    // for real (another thread attaches them).
    std::unique_ptr<HidArrivals> Arrivals();

    std::size_t Count() const;
    const InterfaceLog& Log(std::size_t index) const;
    const SimulatedProduct& Product(std::size_t index) const;
    int OpenHandles() const;  // over all interfaces

    std::unique_ptr<HidInterfaceSet> PresentInterfaces() override;
    std::unique_ptr<HidDevice> OpenDevice(const std::string& path, OpenFailure* why = nullptr) override;

    struct Slot;

private:
    const Paths paths_;
    mutable std::mutex mutex_;  // guards the list of slots, not what happens on one
    std::vector<std::shared_ptr<Slot>> slots_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;  // attaches and detaches so far
    std::size_t attaches_ = 0;   // every attach so far, what DetachAll forgets too
};
