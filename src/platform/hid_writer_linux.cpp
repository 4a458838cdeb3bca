#include "platform/hid_writer_linux.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

bool HidrawDeviceGone(int error) { return error == ENODEV || error == EIO || error == ENXIO || error == ESHUTDOWN; }

struct HidWriter::Shared {
    explicit Shared(int f) : fd(f) {}

    const int fd;
    std::mutex mutex;
    std::condition_variable work;  // the thread waits here for a report or the close
    std::condition_variable done;  // the caller waits here for its report
    std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> queue;  // not started yet, oldest first
    std::uint64_t submitted = 0;  // tickets handed out
    std::uint64_t finished = 0;   // the ticket of the report that ended last
    IoOutcome outcome = IoOutcome::Signalled;  // how it ended
    bool gone = false;
    std::atomic<bool> closing{false};
};

namespace {

// One report into the kernel. A node that cannot take it at once (EAGAIN) is
// asked again when it can, until the writer is closed.
IoOutcome WriteNow(HidWriter::Shared& s, const std::vector<std::uint8_t>& report) {
    for (;;) {
        if (::write(s.fd, report.data(), report.size()) >= 0)
            return IoOutcome::Signalled;
        if (errno == EINTR)
            continue;
        if (HidrawDeviceGone(errno))
            return IoOutcome::Abandoned;
        if (errno != EAGAIN)
            return IoOutcome::Failed;
        pollfd p{s.fd, POLLOUT, 0};
        for (;;) {
            const int ready = ::poll(&p, 1, 50);
            if (s.closing)
                return IoOutcome::Failed;  // not started, and nothing may reach a closed device
            if (ready > 0)
                break;
            if (ready < 0 && errno != EINTR)
                return IoOutcome::Failed;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return IoOutcome::Abandoned;
    }
}

void WriteInTurn(std::shared_ptr<HidWriter::Shared> s) {
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->work.wait(lock, [&] { return s->closing || !s->queue.empty(); });
        if (s->queue.empty())
            break;  // closed, and nothing is in the kernel any more
        auto [ticket, report] = std::move(s->queue.front());
        s->queue.pop_front();
        lock.unlock();
        const IoOutcome outcome = WriteNow(*s, report);
        lock.lock();
        s->finished = ticket;
        s->outcome = outcome;
        if (outcome == IoOutcome::Abandoned) {
            s->gone = true;  // what follows would only meet the same end
            s->queue.clear();
        }
        s->done.notify_all();
    }
    lock.unlock();
    ::close(s->fd);
}

}  // namespace

HidWriter::HidWriter(int fd, bool writesWait) : fd_(fd), writesWait_(writesWait) {}

HidWriter::~HidWriter() {
    if (!shared_) {
        ::close(fd_);
        return;
    }
    // Nothing reaches the device after it is closed; a write already in the
    // kernel ends on the thread, which then closes the node.
    const std::lock_guard lock(shared_->mutex);
    shared_->queue.clear();
    shared_->closing = true;
    shared_->work.notify_one();
}

IoOutcome HidWriter::Write(std::span<const std::uint8_t> report, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    if (gone_)
        return IoOutcome::Abandoned;
    if (!writesWait_ && !shared_) {
        for (;;) {
            if (::write(fd_, report.data(), report.size()) >= 0)
                return IoOutcome::Signalled;
            if (errno == EINTR)
                continue;
            if (HidrawDeviceGone(errno)) {
                gone_ = true;
                return IoOutcome::Abandoned;
            }
            if (errno != EAGAIN)
                return IoOutcome::Failed;
            break;  // full: from here on the thread writes, in order
        }
    }
    if (!shared_) {
        auto shared = std::make_shared<Shared>(fd_);
        try {
            std::thread(WriteInTurn, shared).detach();  // outlives the writer when a write is stuck in the kernel
        } catch (const std::system_error&) {
            return IoOutcome::Failed;  // no thread to be had: nothing was sent
        }
        shared_ = std::move(shared);
    }
    std::unique_lock lock(shared_->mutex);
    if (shared_->gone)
        return IoOutcome::Abandoned;
    const std::uint64_t ticket = ++shared_->submitted;
    shared_->queue.emplace_back(ticket, std::vector<std::uint8_t>(report.begin(), report.end()));
    shared_->work.notify_one();
    const auto ended = [&] { return shared_->finished >= ticket || shared_->gone; };
    if (!shared_->done.wait_until(lock, deadline, ended))
        return IoOutcome::TimedOut;
    return shared_->finished == ticket ? shared_->outcome : IoOutcome::Abandoned;
}

void HidWriter::CancelQueued() {
    if (!shared_)
        return;
    const std::lock_guard lock(shared_->mutex);
    shared_->queue.clear();
}
