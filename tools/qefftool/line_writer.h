#pragma once

#include "station_event.h"
#include "station_event_sink.h"
#include "station_record.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class RecordFile;
class StationOutput;

// Writes the station's events on threads of their own, in the order they
// were posted: a slow or stalled output holds up no transfer and no arrival.
// The record has a thread of its own too, so that a stalled terminal or pipe
// never holds a product's record back; a product's record is on disk before
// its `done` line is written. Progress is dropped while the output is behind;
// nothing else is.
class LineWriter {
public:
    // `record` may be null: no record is kept.
    LineWriter(StationOutput& out, RecordFile* record, RecordHeader header);
    ~LineWriter();  // Close()
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Every event posted from now on also goes to `sink` (null: none), before
    // it is written; set it before posting from other threads.
    void Follow(StationEventSink* sink);
    void Post(StationEvent event);
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
