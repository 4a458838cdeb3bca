#include "platform/hid_writer_linux.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

bool HidrawDeviceGone(int error) { return error == ENODEV || error == EIO || error == ENXIO || error == ESHUTDOWN; }

// The caller and the thread hand reports and their ends to each other through
// two counters each waited on with a futex. A mutex and condition variables did
// the same with twice the wake-ups and switches per report: a thread woken on
// a condition variable first had to take the mutex back, often still held by
// the one that woke it. C++ offers no timed wait on an atomic, so the futex
// calls are made here by hand.
struct HidWriter::Shared {
    explicit Shared(int f) : fd(f) {}

    // Sleeps while `word` still holds `seen`, at most `bound` (none: until woken).
    // Where another CPU can run the side that moves it on, it first watches the
    // word for up to `spin`: the next report, or the end of this one, usually
    // comes within it, and then costs neither side a sleep and a wake-up.
    static void SleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t seen, std::atomic<bool>& sleeping,
                           const timespec* bound, std::chrono::nanoseconds spin) {
        if (OtherCpus()) {
            if (bound)
                spin = std::min(spin, std::chrono::seconds(bound->tv_sec) + std::chrono::nanoseconds(bound->tv_nsec));
            const auto until = std::chrono::steady_clock::now() + spin;
            while (word == seen && std::chrono::steady_clock::now() < until)
                Pause();
            if (word != seen)
                return;
        }
        sleeping = true;
        if (word == seen)
            ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, seen, bound, nullptr, 0);
        sleeping = false;
    }
    // Whether the process may run on more than one CPU: on one, watching would
    // only keep the other side from running.
    static bool OtherCpus() {
        static const bool many = [] {
            cpu_set_t set;
            CPU_ZERO(&set);
            return ::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
        }();
        return many;
    }
    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    // Moves `word` on and wakes its sleeper, if there is one (a system call saved otherwise).
    static void Wake(std::atomic<std::uint32_t>& word, const std::atomic<bool>& sleeping) {
        ++word;
        if (sleeping)
            ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

    const int fd;
    std::mutex queueMutex;  // held only to take from or add to the queue, never while waiting or waking
    std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> queue;  // not started yet, oldest first
    std::atomic<std::uint32_t> work{0};   // moves on with each report handed over and at the close
    std::atomic<std::uint32_t> ended{0};  // moves on with each report that ended
    std::atomic<bool> threadSleeping{false}, callerSleeping{false};
    std::atomic<std::uint64_t> finished{0};  // the ticket of the report that ended last
    std::atomic<IoOutcome> outcome{IoOutcome::Signalled};  // how it ended; stored before `finished`
    std::atomic<bool> gone{false};
    std::atomic<bool> closing{false};
};
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

namespace {

// How long each side watches before it sleeps: the thread for the caller's next
// report (the window takes a few microseconds between two), the caller for the
// end of its report (a node that takes reports at once ends it within this).
constexpr std::chrono::microseconds NextReportSpin{50};
constexpr std::chrono::microseconds EndSpin{20};

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

// `s` by value: the thread's own share keeps the state alive once the writer is gone.
void WriteInTurn(std::shared_ptr<HidWriter::Shared> s) {  // NOLINT(performance-unnecessary-value-param)
    // Handed a report, this thread need not run before the caller goes on to
    // wait for it: as a batch thread its wake-up does not preempt the caller,
    // which saves two switches per report. It is as urgent as the caller otherwise.
    int policy = 0;
    sched_param param{};
    if (::pthread_getschedparam(::pthread_self(), &policy, &param) == 0 && policy == SCHED_OTHER)
        ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &param);
    for (;;) {
        const std::uint32_t seen = s->work;  // read before the queue: a report added after it moves it on
        std::unique_lock lock(s->queueMutex);
        if (s->queue.empty()) {
            lock.unlock();
            if (s->closing)
                break;  // closed, and nothing is in the kernel any more
            HidWriter::Shared::SleepWhile(s->work, seen, s->threadSleeping, nullptr, NextReportSpin);
            continue;
        }
        auto [ticket, report] = std::move(s->queue.front());
        s->queue.pop_front();
        lock.unlock();
        const IoOutcome outcome = WriteNow(*s, report);
        if (outcome == IoOutcome::Abandoned) {
            s->gone = true;  // what follows would only meet the same end
            const std::lock_guard clear(s->queueMutex);
            s->queue.clear();
        }
        s->outcome = outcome;
        s->finished = ticket;
        HidWriter::Shared::Wake(s->ended, s->callerSleeping);
    }
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
    {
        const std::lock_guard lock(shared_->queueMutex);
        shared_->queue.clear();
        shared_->closing = true;
    }
    Shared::Wake(shared_->work, shared_->threadSleeping);
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
    const std::uint64_t ticket = ++submitted_;
    {
        const std::lock_guard lock(shared_->queueMutex);
        if (shared_->gone)
            return IoOutcome::Abandoned;  // checked under the lock the thread clears the queue with
        shared_->queue.emplace_back(ticket, std::vector<std::uint8_t>(report.begin(), report.end()));
    }
    Shared::Wake(shared_->work, shared_->threadSleeping);
    for (;;) {
        const std::uint32_t seen = shared_->ended;  // read before `finished`: an end after it moves it on
        if (shared_->finished >= ticket)
            return shared_->outcome;  // no later report exists: the outcome is this one's
        if (shared_->gone)
            return IoOutcome::Abandoned;
        const auto left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return IoOutcome::TimedOut;
        const timespec bound{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
        Shared::SleepWhile(shared_->ended, seen, shared_->callerSleeping, &bound, EndSpin);
    }
}

void HidWriter::CancelQueued() {
    if (!shared_)
        return;
    const std::lock_guard lock(shared_->queueMutex);
    shared_->queue.clear();
}
