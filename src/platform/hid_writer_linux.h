#pragma once

#include "device/hid_device.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

// Output reports to a hidraw node without ever waiting on the kernel longer than
// the caller's bound. hidraw's write() returns only once the product has taken
// the report (over USB, usbhid waits up to 5 s for it, O_NONBLOCK or not), and
// hidraw has no asynchronous write: aio or io_uring would only hand the same
// blocking call to a kernel worker. So a thread of the writer's own makes the
// writes, in order, one at a time; the caller waits for its report at most its
// bound. A report whose bound passed before an earlier one was taken still goes
// out after it (no report is dropped from the middle of a block) unless the
// caller cancels what has not started, or closes.
// The errors with which hidraw tells that the product has gone (unplugged, or
// its transport torn down): EIO from read(), ENODEV from write() and ioctl().
bool HidrawDeviceGone(int error);

class HidWriter {
public:
    // Takes `fd` over: it is closed once the writer is gone and no write is still
    // in the kernel, so that closing never waits for the product. `writesWait`
    // false: the transport takes every report at once (uhid hands it to the
    // process behind the device, as for a Bluetooth LE product), so writes are
    // made in place and the thread is only started for a node that is full.
    explicit HidWriter(int fd, bool writesWait = true);
    ~HidWriter();
    HidWriter(const HidWriter&) = delete;
    HidWriter& operator=(const HidWriter&) = delete;

    int Fd() const { return fd_; }

    // Hands one report over and waits for it at most `bound`: Signalled once the
    // product took it, TimedOut while it (or an earlier one) is still on its way,
    // Abandoned once the product has gone, Failed when the kernel refused it.
    IoOutcome Write(std::span<const std::uint8_t> report, std::chrono::milliseconds bound);

    // Forgets the reports that have not started; one already in the kernel ends
    // on its own.
    void CancelQueued();

    struct Shared;

private:
    int fd_;
    bool writesWait_;
    bool gone_ = false;  // a write made in place found the product gone
    std::uint64_t submitted_ = 0;  // tickets handed out
    std::shared_ptr<Shared> shared_;  // made with the first report: a search opens many devices and writes to none
};
