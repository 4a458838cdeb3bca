#pragma once

#include "station/station_event.h"
#include "station/station_event_sink.h"
#include "station/record_line.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class RecordFile;
class EventOutput;

// Writes the station's events on threads of their own, in the order they
// were posted: a slow or stalled output holds up no transfer and no arrival.
// The record has a thread of its own too, so that a stalled terminal or pipe
// never holds a product's record back; a product's record is on disk before
// its `done` line is written. Progress is dropped while the output is behind;
// nothing else is.
class EventFanout {
public:
    // `record` may be null: no record is kept.
    EventFanout(EventOutput& out, RecordFile* record, RecordHeader header);
    ~EventFanout();  // Close()
    EventFanout(const EventFanout&) = delete;
    EventFanout& operator=(const EventFanout&) = delete;

    // Every event posted from now on also goes to `sink`, in order, before it
    // is written; subscribe before posting from other threads.
    void Subscribe(StationEventSink* sink);
    void Post(StationEvent event);
    // Waits until the record holds every line posted so far (or could not
    // write it): a sink is told an event before its line is on disk.
    void WaitRecorded();
    // Writes what was posted and ends the threads: the record's whole; the
    // output's within a few seconds, after which an output that takes nothing
    // (a paused terminal, a reader that stopped reading) is given up on and
    // its last lines are lost, so that the station still ends.
    void Close();
    // A line that could not go to the output, or to the record; each was told
    // on the errors stream once.
    bool OutputFailed() const;
    bool RecordFailed() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;  // also the threads': one given up on may outlive the writer
    std::thread lines_, records_;
};
