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
};

// What happened on one interface, for tests to look at.
struct InterfaceLog {
    int opens = 0;
    int openHandles = 0;
    std::vector<std::vector<std::uint8_t>> reports;  // every output report, byte for byte
    std::vector<std::chrono::milliseconds> writeBounds;
    std::vector<std::chrono::milliseconds> readBounds;
    int cancels = 0;
    std::string sequence;  // 'W' a write, 'R' a read, 'C' a cancel, in the order they came
};

// An in-process HID system with any number of simulated products. It never
// sleeps: a wait that would time out returns TimedOut at once. Products may be
// attached while another thread searches, and each open device may be used on
// a thread of its own.
class SimulatedHid final : public HidSystem {
public:
    SimulatedHid();
    ~SimulatedHid() override;

    // Attaches an interface; returns its index, which its path carries.
    std::size_t Attach(SimulatedInterface attached);
    // Unplugs one interface: it leaves the enumeration, its open devices find
    // it gone, and its log stays to be looked at.
    void Detach(std::size_t index);
    void DetachAll();

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
    mutable std::mutex mutex_;  // guards the list of slots, not what happens on one
    std::vector<std::shared_ptr<Slot>> slots_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;  // attaches and detaches so far
};
