#include "station/event_fanout.h"

#include "station/record_file.h"
#include "station/event_output.h"

#include <chrono>

namespace {

// Past this many lines waiting, progress is not queued: the end of every
// upgrade is told anyway.
constexpr std::size_t kBehind = 64;
// How long a closing writer waits for an output that takes nothing.
constexpr auto kGiveUpOutputAfter = std::chrono::seconds(3);

}  // namespace

struct EventFanout::Shared {
    Shared(EventOutput& o, RecordFile* r, RecordHeader h) : out(o), record(r), header(std::move(h)) {}

    EventOutput& out;
    RecordFile* record;
    RecordHeader header;
    std::mutex mutex;
    std::condition_variable posted, recorded, linesEnded;
    struct Line {
        StationEvent event;
        std::uint64_t record = 0;  // the record line it waits for, 0 for none
    };
    std::deque<Line> lines;
    std::deque<std::pair<std::uint64_t, std::string>> records;
    std::uint64_t recordsPosted = 0, recordsDone = 0;
    std::vector<StationEventSink*> sinks;
    bool closing = false, linesOver = false, givenUp = false;
    std::atomic<bool> outputFailed{false}, recordFailed{false};

    void WriteRecords() {
        std::unique_lock lock(mutex);
        for (;;) {
            posted.wait(lock, [&] { return closing || !records.empty(); });
            if (records.empty())
                return;
            auto [number, line] = std::move(records.front());
            records.pop_front();
            lock.unlock();
            if (!recordFailed && !record->Append(line)) {
                recordFailed = true;
                out.Warn("the record cannot be written; the station takes no new product.");
            }
            lock.lock();
            recordsDone = number;  // written, or given up on: the line may be told either way
            recorded.notify_all();
        }
    }

    void WriteLines() {
        std::unique_lock lock(mutex);
        for (;;) {
            posted.wait(lock, [&] { return closing || !lines.empty(); });
            if (lines.empty() || givenUp)
                break;
            Line line = std::move(lines.front());
            lines.pop_front();
            recorded.wait(lock, [&] { return recordsDone >= line.record; });
            lock.unlock();
            if (!outputFailed && !out.Write(line.event)) {
                outputFailed = true;
                out.Warn("the output cannot be written; the station takes no new product.");
            }
            lock.lock();
        }
        linesOver = true;
        linesEnded.notify_all();
    }
};

EventFanout::EventFanout(EventOutput& out, RecordFile* record, RecordHeader header)
    : shared_(std::make_shared<Shared>(out, record, std::move(header))) {
    lines_ = std::thread([s = shared_] { s->WriteLines(); });
    if (record)
        records_ = std::thread([s = shared_] { s->WriteRecords(); });
}

EventFanout::~EventFanout() { Close(); }

void EventFanout::Subscribe(StationEventSink* sink) {
    const std::lock_guard lock(shared_->mutex);
    if (sink)
        shared_->sinks.push_back(sink);
}

void EventFanout::Post(StationEvent event) {
    Shared& s = *shared_;
    // Made here, on the poster's thread, so that the record's thread never
    // waits for the output's.
    std::string record = s.record ? RecordLine(event, s.header) : std::string();
    {
        const std::lock_guard lock(s.mutex);
        if (s.closing)
            return;
        for (StationEventSink* sink : s.sinks)  // in order, and every progress: a sink keeps only the newest
            sink->Take(event);
        if (event.kind == StationEvent::Kind::Progress && s.lines.size() >= kBehind)
            return;
        std::uint64_t number = 0;
        if (!record.empty()) {
            number = ++s.recordsPosted;
            s.records.emplace_back(number, std::move(record));
        }
        s.lines.push_back({std::move(event), number});
    }
    s.posted.notify_all();
}

void EventFanout::WaitRecorded() {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    s.recorded.wait(lock, [&] { return s.recordsDone >= s.recordsPosted; });
}

void EventFanout::Close() {
    Shared& s = *shared_;
    {
        const std::lock_guard lock(s.mutex);
        if (s.closing && !lines_.joinable() && !records_.joinable())
            return;
        s.closing = true;
    }
    s.posted.notify_all();
    if (records_.joinable())
        records_.join();
    if (!lines_.joinable())
        return;
    std::unique_lock lock(s.mutex);
    if (s.linesEnded.wait_for(lock, kGiveUpOutputAfter, [&] { return s.linesOver; })) {
        lock.unlock();
        lines_.join();
        return;
    }
    // The output takes nothing: its thread stays in its write, holding its
    // share of what it needs, and writes nothing more if it ever returns.
    s.givenUp = true;
    s.outputFailed = true;
    lock.unlock();
    s.out.Warn("the output took nothing for " + std::to_string(kGiveUpOutputAfter.count()) +
               " s; its last lines are lost.");
    lines_.detach();
}

bool EventFanout::OutputFailed() const { return shared_->outputFailed; }
bool EventFanout::RecordFailed() const { return shared_->recordFailed; }
