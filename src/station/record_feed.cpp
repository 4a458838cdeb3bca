#include "station/record_feed.h"

#include "platform/utf8_path.h"
#include "station/factory/factory_schema.h"
#include "station/factory/record_rows.h"
#include "station/record_rows_of_file.h"

#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

using FeedClock = std::chrono::steady_clock;

namespace {

// Changes of the lines waiting are told at most this often.
constexpr auto kTellEvery = std::chrono::seconds(1);
// A feed that has not ended this long after its time ran out is left in its call.
constexpr auto kLeaveAfter = std::chrono::milliseconds(500);

}  // namespace

struct RecordFeed::Shared {
    Shared(std::string p, std::string c, std::string s, Told t, Beat b, RecordFeedTimings timings)
        : path(std::move(p)), connection(std::move(c)), rows(std::move(s)), told(std::move(t)), beat(std::move(b)),
          timings(timings) {}

    const std::string path, connection;
    RecordRowsOfFile rows;  // the feed's thread alone from here to `mutex`
    Told told;
    Beat beat;
    const RecordFeedTimings timings;
    std::optional<OdbcConnection> db;
    std::optional<RecordRowWriter> writer;
    std::uint64_t offset = 0;  // the file's bytes read, up to the end of a whole line
    std::deque<RecordRow> pending;  // read, not yet stored
    std::string station, run;       // of the last line read: the heartbeat's
    FeedClock::time_point nextBeat{};
    std::map<std::pair<std::string, std::string>, std::int64_t> stored;  // by station and run: the last line stored
    RecordFeedStatus lastTold;
    FeedClock::time_point lastToldAt{};

    std::mutex mutex;  // guards what follows
    std::condition_variable wake, changed;
    std::uint64_t written = 0;  // lines written to the file since the feed began
    std::uint64_t read = 0;     // of them, those read
    std::uint64_t startSize = 0;  // the file's size when the feed began
    std::uint64_t unsent = 0;   // pending.size(), as others may read it
    RecordFeedStatus status{"connecting", 0, ""};
    bool finishing = false, over = false;
    FeedClock::time_point deadline{};

    std::mutex toldMutex;  // held while `told` runs
    bool silenced = false;

    // Lines written and not yet read: a line is appended before it is counted,
    // so it may be read first.
    std::uint64_t Unread() const { return written > read ? written - read : 0; }  // under the lock

    bool TimeIsUp() {
        const std::lock_guard lock(mutex);
        return finishing && FeedClock::now() >= deadline;
    }

    // Sets the state and tells it, with the lines waiting, where it changed enough.
    void Tell(const char* state, std::string why = {}) {
        RecordFeedStatus now;
        {
            const std::lock_guard lock(mutex);
            unsent = pending.size();
            status = {state, unsent + Unread(), std::move(why)};
            now = status;
        }
        changed.notify_all();
        const bool stateChanged = now.state != lastTold.state || now.why != lastTold.why;
        const bool draining = now.state != "connected" || lastTold.waiting > 0;
        const bool waitingChanged = now.waiting != lastTold.waiting && draining &&
                                    (now.waiting == 0 || FeedClock::now() - lastToldAt >= kTellEvery);
        if (!stateChanged && !waitingChanged)
            return;
        lastTold = now;
        lastToldAt = FeedClock::now();
        const std::lock_guard lock(toldMutex);
        if (!silenced && told)
            told(now);
    }

    // Waits `period`, telling the lines written meanwhile; less once the time is up.
    void Wait(std::chrono::milliseconds period, const char* state, const std::string& why) {
        const auto until = FeedClock::now() + period;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                const auto end = finishing ? std::min(until, deadline) : until;
                const std::uint64_t before = written;
                wake.wait_until(lock, std::min(end, FeedClock::now() + kTellEvery),
                                [&] { return written != before || (finishing && FeedClock::now() >= deadline); });
                if (FeedClock::now() >= end)
                    return;
            }
            Tell(state, why);
        }
    }

    DbStatus Connect() {
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connection, timings.timeouts);
        if (!opened)
            return opened.Error();
        if (DbStatus error = EnsureFactorySchema(*opened))
            return error;
        DbResult<RecordRowWriter> prepared = RecordRowWriter::Prepare(*opened);
        if (!prepared)
            return prepared.Error();
        db = std::move(*opened);
        writer = std::move(*prepared);
        return std::nullopt;
    }

    // The whole lines written to the file since the last read, as rows.
    void Read() {
        std::ifstream file(PathFromUtf8(path), std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        std::string line;
        std::uint64_t written = 0;  // of the lines written since the feed began
        while (std::getline(file, line) && !file.eof()) {  // a last line without its newline waits for it
            written += offset >= startSize;
            offset += line.size() + 1;
            pending.push_back(rows.Next(std::move(line)));
            station = pending.back().station;
            run = pending.back().run;
        }
        const std::lock_guard lock(mutex);
        read += written;
        unsent = pending.size();
    }

    // Stores the rows waiting, in order, skipping those stored already.
    DbStatus Send() {
        while (!pending.empty() && !TimeIsUp()) {
            const RecordRow& row = pending.front();
            const auto key = std::make_pair(row.station, row.run);
            auto last = stored.find(key);
            if (last == stored.end()) {
                DbResult<std::int64_t> held = LastLineOfRun(*db, row.station, row.run);
                if (!held)
                    return held.Error();
                last = stored.emplace(key, *held).first;
            }
            if (row.lineNumber > last->second) {
                DbResult<RowStored> sent = writer->Store(row);
                if (!sent)
                    return sent.Error();
                last->second = row.lineNumber;
            }
            pending.pop_front();
            Tell("connected");
            // A long catch-up still tells the line the station is alive.
            if (DbStatus error = WriteBeat(false))
                return error;
        }
        return std::nullopt;
    }

    // Writes the station's heartbeat row when it is due, or `now`. A beat the
    // database refuses for its values (a name too long for its column, a
    // table of another shape) is let go, and the lines go on; any other
    // failure is the connection's.
    DbStatus WriteBeat(bool now) {
        if (!beat || station.empty() || (!now && FeedClock::now() < nextBeat))
            return std::nullopt;  // nothing to tell before the start line is read
        std::optional<StationHeartbeat> heartbeat;
        {
            const std::lock_guard lock(toldMutex);
            if (silenced)
                return std::nullopt;  // the station that tells it is gone
            heartbeat = beat();
        }
        if (!heartbeat)
            return std::nullopt;
        heartbeat->station = station;
        heartbeat->run = run;
        heartbeat->seenAt = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
        nextBeat = FeedClock::now() + timings.beatEvery;
        DbStatus error = WriteHeartbeat(*db, *heartbeat);
        if (error && (error->Is("22") || error->Is("23") || error->Is("42")))
            return std::nullopt;
        return error;
    }

    void Run() {
        auto retry = timings.firstRetry;
        while (!TimeIsUp()) {
            DbStatus failed = writer ? std::nullopt : Connect();
            if (!failed) {
                Read();
                failed = Send();
            }
            if (!failed)
                failed = WriteBeat(false);
            if (failed) {
                writer.reset();
                db.reset();
                const std::string why = failed->Text();
                Tell("unreachable", why);
                Wait(retry, "unreachable", why);
                retry = std::min(retry * 2, timings.lastRetry);
                continue;
            }
            retry = timings.firstRetry;
            Tell("connected");
            std::unique_lock lock(mutex);
            if (finishing && Unread() == 0 && pending.empty()) {
                lock.unlock();
                (void)WriteBeat(true);  // the station as it ended: a failure leaves the last beat, told silent in time
                break;
            }
            wake.wait_for(lock, kTellEvery, [&] { return Unread() > 0 || finishing; });
        }
        const std::lock_guard lock(mutex);
        over = true;
        changed.notify_all();
    }
};

RecordFeed::RecordFeed(std::string recordPath, std::string connection, std::string station, Told told, Beat beat,
                       RecordFeedTimings timings)
    : shared_(std::make_shared<Shared>(std::move(recordPath), std::move(connection), std::move(station),
                                       std::move(told), std::move(beat), timings)) {
    std::ifstream file(PathFromUtf8(shared_->path), std::ios::binary | std::ios::ate);
    shared_->startSize = file ? static_cast<std::uint64_t>(file.tellg()) : 0;
    std::thread([s = shared_] { s->Run(); }).detach();  // ended by Finish, or left in a stalled call
}

RecordFeed::~RecordFeed() { Finish(std::chrono::milliseconds(0)); }

void RecordFeed::LineWritten() {
    {
        const std::lock_guard lock(shared_->mutex);
        ++shared_->written;
    }
    shared_->wake.notify_all();
}

RecordFeedStatus RecordFeed::WaitSent(std::chrono::milliseconds within) {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    s.changed.wait_for(lock, within, [&] { return s.over || (s.Unread() == 0 && s.unsent == 0 && s.status.state == "connected"); });
    RecordFeedStatus now = s.status;
    now.waiting = s.Unread() + s.unsent;
    return now;
}

std::uint64_t RecordFeed::Finish(std::chrono::milliseconds within) {
    Shared& s = *shared_;
    std::uint64_t waiting = 0;
    {
        std::unique_lock lock(s.mutex);
        if (!s.finishing) {
            s.finishing = true;
            s.deadline = FeedClock::now() + within;
        }
        s.wake.notify_all();
        s.changed.wait_until(lock, s.deadline + kLeaveAfter, [&] { return s.over; });
        waiting = s.Unread() + s.unsent;
    }
    const std::lock_guard lock(s.toldMutex);
    s.silenced = true;
    return waiting;
}
