#pragma once

#include "station_event.h"
#include "station_record.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class RecordFile;
class StationOutput;

// Writes the station's events on a thread of its own, in the order they were
// posted: a slow or stalled output holds up no transfer and no arrival. A
// product's record is on disk before its `done` line is written. Progress is
// dropped while the writer is behind; nothing else is.
class LineWriter {
public:
    // `record` may be null: no record is kept.
    LineWriter(StationOutput& out, RecordFile* record, RecordHeader header);
    ~LineWriter();  // Close()
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    void Post(StationEvent event);
    // Writes what was posted and ends the thread.
    void Close();
    // A line that could not go to the output, or to the record; each was told
    // on the errors stream once.
    bool OutputFailed() const { return outputFailed_; }
    bool RecordFailed() const { return recordFailed_; }

private:
    void Run();
    void Deliver(const StationEvent& event);

    StationOutput& out_;
    RecordFile* record_;
    RecordHeader header_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<StationEvent> queue_;
    bool closing_ = false;
    std::atomic<bool> outputFailed_{false}, recordFailed_{false};
    std::thread thread_;
};
