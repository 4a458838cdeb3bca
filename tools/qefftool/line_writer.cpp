#include "line_writer.h"

#include "record_file.h"
#include "station_output.h"

namespace {

// Past this many lines waiting, progress is not queued: the end of every
// upgrade is told anyway.
constexpr std::size_t kBehind = 64;

}  // namespace

LineWriter::LineWriter(StationOutput& out, RecordFile* record, RecordHeader header)
    : out_(out), record_(record), header_(std::move(header)), thread_([this] { Run(); }) {}

LineWriter::~LineWriter() { Close(); }

void LineWriter::Post(StationEvent event) {
    {
        const std::lock_guard lock(mutex_);
        if (event.kind == StationEvent::Kind::Progress && queue_.size() >= kBehind)
            return;
        queue_.push_back(std::move(event));
    }
    posted_.notify_one();
}

void LineWriter::Close() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    posted_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void LineWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        posted_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        const StationEvent event = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        Deliver(event);
        lock.lock();
    }
}

void LineWriter::Deliver(const StationEvent& event) {
    if (record_ && !recordFailed_) {
        const std::string line = RecordLine(event, header_);
        if (!line.empty() && !record_->Append(line)) {
            recordFailed_ = true;
            out_.Errors() << "qefftool: the record cannot be written; the station takes no new product.\n"
                          << std::flush;
        }
    }
    if (outputFailed_)
        return;
    if (!out_.Write(event)) {
        outputFailed_ = true;
        out_.Errors() << "qefftool: the output cannot be written; the station takes no new product.\n" << std::flush;
    }
}
