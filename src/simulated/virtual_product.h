#pragma once

#include "package/package_file.h"
#include "simulated/simulated_product.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How a virtual product presents itself on the USB side.
struct VirtualProductOptions {
    std::uint16_t vendorId = 0x1D50;
    std::uint16_t productId = 0x6018;
    std::string name = "Quorvella Virtual Product";
    std::string serial;                            // its USB serial number (empty: none)
    std::string phys;                              // (uhid) its physical path, where the host sees it plugged in
    std::string udc;                               // (gadget) the USB device controller it is plugged into; empty: the first
    bool reportIds = false;                        // reports carry the IDs `product` gives
    std::optional<std::uint16_t> release;          // (gadget) its USB release number, bcdDevice
    std::optional<std::size_t> unplugAfterReports;  // leaves once this many reports arrived
    // (gadget) a second HID interface under the same IDs, a boot keyboard with
    // an LED output report, as a composite product has
    bool secondInterface = false;
    std::chrono::milliseconds answerDelay{0};       // time to answer a block, as writing flash takes
    std::optional<std::size_t> stopReadingAfterReports;  // then takes no more reports, as a product that hangs
    bool leaveAfterLastAnswer = false;  // leaves the bus once the last block is answered, as a product restarting
    // (gadget) restarts once the last block is answered: leaves the bus and
    // comes back with this release number, as a product running its new firmware
    std::optional<std::uint16_t> restartRelease;
    ProductConfig product;                          // report lengths, block length, answers
};

// A product on a real Linux kernel, seen by the host as a HID device with a
// hidraw node. Its firmware-taking logic is SimulatedProduct; the transport
// (uhid or a USB gadget) is the subclass's.
class VirtualProduct {
public:
    virtual ~VirtualProduct() = default;

    // Empty when the product is up; otherwise what went wrong.
    const std::string& Error() const { return error_; }

    // Takes reports and answers them until `stop` is set or the product leaves.
    virtual void Serve(const std::atomic<bool>& stop) = 0;

    // Leaves the bus, as if unplugged.
    virtual void Unplug() = 0;

    // Serves one upgrade: until the whole payload has come and its last answer
    // has gone out, the product leaves, or `stop` is set. True when it came whole.
    bool ServeOneUpgrade(const std::atomic<bool>& stop);

    // What the product took; look only while it is not being served.
    const SimulatedProduct& Product() const { return product_; }
    // Forgets the upgrade so far, ready to take the firmware again.
    void StartOver();
    // These three may be asked while another thread serves.
    std::size_t ReportsReceived() const { return received_; }
    bool Unplugged() const { return unplugged_; }
    bool Complete() const { return complete_; }
    // When it last restarted: it sent its last answer, and was back on the bus
    // (none yet: the epoch).
    std::chrono::system_clock::time_point AnsweredLastAt() const { return At(answeredLastAt_); }
    std::chrono::system_clock::time_point RestartedAt() const { return At(restartedAt_); }

protected:
    explicit VirtualProduct(const VirtualProductOptions& options) : options_(options), product_(options.product) {}

    // Hands one output report, as it arrived, to the product logic, then sends
    // whatever answer is due. `withId`: the transport delivers the ID byte in
    // front; otherwise what arrives is the data of a report of ID 0 alone.
    void Take(const std::uint8_t* data, std::size_t size, bool withId);
    virtual void SendInputReport(const std::uint8_t* data, std::size_t size) = 0;
    // Returns once the host has the answers sent so far (uhid hands them over at once).
    virtual void AnswerTaken() {}
    // Leaves the bus and comes back with `release`; a product on no USB bus only leaves.
    virtual void Restart(std::uint16_t release) {
        (void)release;
        Unplug();
    }

    VirtualProductOptions options_;
    SimulatedProduct product_;
    std::string error_;
    // Serving stops reading once the product is set to hang.
    bool Hung() const { return options_.stopReadingAfterReports && received_ >= *options_.stopReadingAfterReports; }

    std::vector<std::uint8_t> report_;  // the report taken last, kept for its memory
    std::atomic<std::size_t> received_{0};
    std::atomic<bool> unplugged_{false};
    std::atomic<bool> complete_{false};
    std::atomic<std::chrono::system_clock::rep> answeredLastAt_{0}, restartedAt_{0};
    static std::chrono::system_clock::time_point At(const std::atomic<std::chrono::system_clock::rep>& time) {
        return std::chrono::system_clock::time_point(std::chrono::system_clock::duration(time.load()));
    }
    bool restarted_ = false;  // this upgrade's restart is done (the serving thread's alone)
};

// Serves `product` on a thread of its own at real-time priority (where the
// process may have it) until `stop` is set: the product then takes each report
// as soon as it is queued for it, as a real one does (uhid keeps only a few
// dozen reports and drops the rest).
std::thread ServeInBackground(VirtualProduct& product, const std::atomic<bool>& stop);

// Reads the package a virtual product is to take: the payload it expects and
// the IDs, block length and name it presents. Nothing for a file that is no
// package or that cannot be read whole.
bool LoadExpectedPackage(PackageFile& file, VirtualProductOptions& options, std::vector<std::uint8_t>& payload);

// Through /dev/uhid: the kernel's user-space HID transport.
class UhidProduct final : public VirtualProduct {
public:
    explicit UhidProduct(const VirtualProductOptions& options, const char* uhidPath = "/dev/uhid");
    ~UhidProduct() override;
    void Serve(const std::atomic<bool>& stop) override;
    void Unplug() override;

    // How often the host opened the device (the kernel tells the first opener).
    int Opens() const { return opens_; }

private:
    void Handle(const struct uhid_event& ev);
    void SendInputReport(const std::uint8_t* data, std::size_t size) override;
    int fd_ = -1;
    int opens_ = 0;
};

// As a USB gadget (configfs usb_f_hid) on a device controller such as dummy_hcd:
// the host sees a real USB HID device through usbhid.
class GadgetProduct final : public VirtualProduct {
public:
    explicit GadgetProduct(const VirtualProductOptions& options, const std::string& configfs = "/sys/kernel/config");
    ~GadgetProduct() override;
    void Serve(const std::atomic<bool>& stop) override;
    void Unplug() override;

    // Reports other than its LEDs' that reached the keyboard interface, which takes no firmware.
    std::size_t SecondInterfaceReports() const { return secondReports_; }

private:
    void SendInputReport(const std::uint8_t* data, std::size_t size) override;
    void AnswerTaken() override;
    void Restart(std::uint16_t release) override;
    bool Write(const std::string& file, const std::string& text);
    // A HID function; `protocol` 1 with subclass 1 makes it a boot keyboard.
    bool AddFunction(const std::string& name, const std::vector<std::uint8_t>& descriptor, std::size_t reportLength,
                     int protocol = 0);
    int OpenFunction(const std::string& name);
    void TearDown();

    std::string gadget_;
    std::string udc_;
    int fd_ = -1;
    int secondFd_ = -1;
    std::atomic<std::size_t> secondReports_{0};
    std::size_t reportLength_ = 0;
};
