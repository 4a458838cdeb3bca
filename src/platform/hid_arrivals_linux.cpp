#include "platform/native_arrivals.h"

#include <cerrno>

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The kernel's uevents for hidraw nodes, through libudev's monitor. Where udevd
// runs, its events come after its rules gave the node its permissions; where
// none does (a container, a bare guest), straight from the kernel's netlink
// socket, which needs no daemon. A wait is one poll() on the monitor's socket.
class UdevArrivals final : public HidArrivals {
public:
    UdevArrivals() {
        udev_ = udev_new();
        if (!udev_)
            return;
        const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        monitor_ = udev_monitor_new_from_netlink(udev_, source);
        if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
                         udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
    }
    ~UdevArrivals() override {
        if (monitor_)
            udev_monitor_unref(monitor_);
        if (udev_)
            udev_unref(udev_);
    }
    UdevArrivals(const UdevArrivals&) = delete;
    UdevArrivals& operator=(const UdevArrivals&) = delete;

    bool Ready() const { return monitor_ != nullptr; }

    bool WaitForChange(std::chrono::milliseconds bound) override {
        if (first_) {
            first_ = false;
            return true;
        }
        pollfd p{udev_monitor_get_fd(monitor_), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(bound.count()));
        if (ready < 0)
            return errno == EINTR;  // a signal: look, in case it came with a product
        if (ready == 0)
            return false;
        // Every event waiting is taken: one look at the enumeration serves them all.
        while (udev_device* device = udev_monitor_receive_device(monitor_))
            udev_device_unref(device);
        return true;
    }

private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<HidArrivals> NativeHidArrivals() {
    auto arrivals = std::make_unique<UdevArrivals>();
    if (arrivals->Ready())
        return arrivals;
    return PollingArrivals();  // no netlink socket to be had here
}
