#pragma once

// The station as its tests and benchmarks run it: a real Station on a thread
// of its own, and its typed events kept as they come. Needs the station and
// qefftool's output alone, so that a benchmark built without the tests can
// use it too.

#include "device/hid_arrivals.h"
#include "qefftool/station_output.h"
#include "station/station.h"
#include "station/station_event_sink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

// An outcome as a failed check tells it: by its name.
inline std::ostream& operator<<(std::ostream& out, Outcome outcome) { return out << OutcomeName(outcome); }

// Waits up to `within` until `done` holds, looking every millisecond.
inline bool Within(std::chrono::milliseconds within, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + within;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::chrono::steady_clock::now() >= until)
            return false;
    return true;
}

// The station's events, kept for a test on another thread to wait for and
// to read: subscribed, as the station posts them; as its output, as its lines
// are written, and then the output may be held (a paused terminal, a reader
// that stopped reading).
class RecordedEvents final : public StationEventSink, public EventOutput {
public:
    using Kind = StationEvent::Kind;
    using Events = std::vector<StationEvent>;

    // Each event as it comes, on the station's thread; subscribed, while the
    // station holds its locks: it may set a flag or unplug a product, never
    // call the station.
    std::function<void(const StationEvent&)> onEvent;
    std::atomic<bool> keep{true};   // false: events are only handed to onEvent
    std::atomic<bool> held{false};  // as the output: writes wait until it is let go

    void Take(const StationEvent& event) override {
        const std::lock_guard lock(mutex_);
        if (onEvent)
            onEvent(event);
        if (keep)
            events_.push_back(event);
        changed_.notify_all();
    }
    bool Write(const StationEvent& event) override {
        while (held)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Take(event);
        return true;
    }
    void Warn(const std::string&) override {}  // what a test reads of an output is its events

    // Waits up to `within` until `enough` holds for the events kept so far.
    bool WaitUntil(const std::function<bool(const Events&)>& enough,
                   std::chrono::milliseconds within = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, within, [&] { return enough(events_); });
    }
    // Waits until `n` events of `kind` came.
    bool WaitFor(Kind kind, std::size_t n = 1, std::chrono::milliseconds within = std::chrono::seconds(10)) {
        return WaitUntil([&](const Events& events) { return Count(events, kind) >= n; }, within);
    }
    Events Of(Kind kind) const {
        const std::lock_guard lock(mutex_);
        Events found;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(found), [&](const auto& e) { return e.kind == kind; });
        return found;
    }
    // The first event of `kind` told of the product at `path`, if one came.
    std::optional<StationEvent> First(Kind kind, const std::string& path) const {
        const std::lock_guard lock(mutex_);
        for (const StationEvent& e : events_)
            if (e.kind == kind && e.product.path == path)
                return e;
        return std::nullopt;
    }

private:
    static std::size_t Count(const Events& events, Kind kind) {
        return static_cast<std::size_t>(
            std::count_if(events.begin(), events.end(), [&](const StationEvent& e) { return e.kind == kind; }));
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
};

// qefftool watch --json's output, its lines made as the program makes them
// and thrown away; what cannot be written is said on `errors`.
struct DiscardedLines final : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }

    std::ostream stream{this};
    std::ostringstream errors;
    StationOutput out{stream, true, errors};
};

// A Station on a thread of its own, with its own arrivals, from construction
// on; interrupted as Ctrl-C does and waited for however the test ends, a
// failed assertion included.
class StationThread {
public:
    // `paused`: asked to pause before it runs, as the page may ask while it starts.
    StationThread(StationOptions options, HidSystem& hid, std::unique_ptr<HidArrivals> arrivals, EventOutput& out,
                  StationEventSink* sink = nullptr, bool paused = false)
        : arrivals_(std::move(arrivals)), station_(std::move(options), hid, *arrivals_, out) {
        if (sink)
            station_.Subscribe(*sink);
        if (paused)
            station_.Pause("the test");
        thread_ = std::thread([this] {
            const Outcome outcome = station_.Run(interrupt_);
            const std::lock_guard lock(mutex_);
            outcome_ = outcome;
            ended_.notify_all();
        });
    }
    ~StationThread() {
        Interrupt();
        if (thread_.joinable())
            thread_.join();
    }
    StationThread(const StationThread&) = delete;
    StationThread& operator=(const StationThread&) = delete;

    void Interrupt() { interrupt_ = true; }  // as Ctrl-C and the signals do
    void Resume() { station_.Resume("the test"); }      // as the page's Resume does
    bool Ended() const {
        const std::lock_guard lock(mutex_);
        return outcome_.has_value();
    }
    // Waits up to `within` for the station to end; how it ended, or nothing
    // when it did not (it is interrupted then, and waited for).
    std::optional<Outcome> Finish(std::chrono::milliseconds within = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        if (ended_.wait_for(lock, within, [&] { return outcome_.has_value(); }))
            return outcome_;
        lock.unlock();
        Interrupt();
        if (thread_.joinable())
            thread_.join();
        return std::nullopt;
    }

private:
    std::unique_ptr<HidArrivals> arrivals_;
    Station station_;
    std::atomic<bool> interrupt_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::optional<Outcome> outcome_;
    std::thread thread_;
};
