// The fan-out's promise to the record: a product's line is written and on
// disk before its `done` reaches the output.

#include "station/event_fanout.h"
#include "station/event_output.h"
#include "station/record_file.h"
#include "support/package_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The steps the record and the output took, in the order they took them.
class Steps {
public:
    void Add(const std::string& step) {
        const std::lock_guard lock(mutex_);
        steps_.push_back(step);
        added_.notify_all();
    }
    // Waits up to `within` for `step`.
    void WaitFor(const std::string& step, std::chrono::milliseconds within) {
        std::unique_lock lock(mutex_);
        added_.wait_for(lock, within, [&] { return std::find(steps_.begin(), steps_.end(), step) != steps_.end(); });
    }
    std::vector<std::string> Taken() {
        const std::lock_guard lock(mutex_);
        return steps_;
    }

private:
    std::mutex mutex_;
    std::condition_variable added_;
    std::vector<std::string> steps_;
};

// The record file, its appends told. Each waits a moment for a `done` that
// does not wait for it, so that one told too early is seen every time.
class ToldRecord final : public RecordFile {
public:
    ToldRecord(std::unique_ptr<RecordFile> file, Steps& steps) : file_(std::move(file)), steps_(steps) {}
    bool Append(const std::string& line) override {
        steps_.WaitFor("done", 200ms);
        steps_.Add("write");
        return file_->Append(line);
    }

private:
    std::unique_ptr<RecordFile> file_;
    Steps& steps_;
};

class ToldOutput final : public EventOutput {
public:
    explicit ToldOutput(Steps& steps) : steps_(steps) {}
    bool Write(const StationEvent& event) override {
        if (event.kind == StationEvent::Kind::Done)
            steps_.Add("done");
        return true;
    }
    void Warn(const std::string&) override {}

private:
    Steps& steps_;
};

}  // namespace

// Faults caught: a record line not flushed to disk (fsync, FlushFileBuffers)
// before its product's `done` is told; a `done` told before its line was
// written at all; the wait for the record (which the station's stop makes
// before it counts the lines left for the factory's database) returning
// before the line is on disk.
TEST(EventFanout, AProductsRecordLineIsOnDiskBeforeItsDoneIsTold) {
    TempFolder folder;
    Steps steps;
    auto file = RecordFile::Open(Utf8(folder / "record.jsonl"), [&](const std::function<bool()>& flushToDisk) {
        const bool flushed = flushToDisk();
        steps.Add("flush");
        return flushed;
    });
    ASSERT_TRUE(file);
    ToldRecord record(std::move(file), steps);
    ToldOutput out(steps);
    EventFanout fanout(out, &record, {});
    StationEvent done;
    done.kind = StationEvent::Kind::Done;
    fanout.Post(done);
    fanout.WaitRecorded();
    const std::vector<std::string> recorded = steps.Taken();
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "flush"), recorded.end()) << "waited for the record";
    fanout.Close();
    EXPECT_EQ(steps.Taken(), (std::vector<std::string>{"write", "flush", "done"}));
    EXPECT_FALSE(fanout.RecordFailed());
}
