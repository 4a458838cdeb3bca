#include "station/line/line_poller.h"

#include "station/factory/factory_schema.h"
#include "station/factory/station_outcomes.h"

struct LinePoller::Work {
    explicit Work(std::string c) : connectionString(std::move(c)) {}

    void Run();
    // One read; why it failed, if it did.
    DbStatus Read();

    const std::string connectionString;
    std::optional<OdbcConnection> connection;  // the poller's thread's alone, to `mutex`
    SilenceWatch silence;
    LineState state;
    std::optional<DatabaseTrouble> trouble;

    mutable std::mutex mutex;  // guards what follows
    std::shared_ptr<const std::string> json;
    std::condition_variable wake, ended;
    bool stop = false, over = false;
};

LinePoller::LinePoller(std::string connectionString) : work_(std::make_shared<Work>(std::move(connectionString))) {
    work_->json = std::make_shared<const std::string>(LineJson(work_->state, std::nullopt));
    std::thread([work = work_] { work->Run(); }).detach();  // ended below, or left in a stalled call
}

LinePoller::~LinePoller() {
    std::unique_lock lock(work_->mutex);
    work_->stop = true;
    work_->wake.notify_all();
    work_->ended.wait_for(lock, kLeaveAfter, [this] { return work_->over; });
}

std::shared_ptr<const std::string> LinePoller::Json() const {
    const std::lock_guard lock(work_->mutex);
    return work_->json;
}

void LinePoller::Work::Run() {
    std::unique_lock lock(mutex);
    while (!stop) {
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        if (DbStatus error = Read()) {
            connection.reset();  // connected anew at the next read: the server may have restarted
            if (!trouble)
                trouble = DatabaseTrouble{std::chrono::system_clock::now(), {}};
            trouble->why = error->Text();
        } else {
            trouble.reset();
        }
        auto made = std::make_shared<const std::string>(LineJson(state, trouble));
        lock.lock();
        json = std::move(made);
        wake.wait_until(lock, started + kEvery, [this] { return stop; });
    }
    over = true;
    ended.notify_all();
}

DbStatus LinePoller::Work::Read() {
    if (!connection) {
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connectionString, kTimeouts);
        if (!opened)
            return opened.Error();
        // The tables are made where no station made them yet, as a station would.
        if (DbStatus error = EnsureFactorySchema(*opened))
            return error;
        connection.emplace(std::move(*opened));
    }
    DbResult<std::vector<StationHeartbeat>> beats = ReadHeartbeats(*connection);
    if (!beats)
        return beats.Error();
    const auto now = std::chrono::system_clock::now();
    DbResult<std::vector<OutcomeCount>> counts = CountOutcomesSince(*connection, LocalMidnight(now));
    if (!counts)
        return counts.Error();
    DbResult<std::vector<RecordRow>> failures =
        LastFailures(*connection, kNotFailures, kFailuresShown,
                     std::chrono::time_point_cast<std::chrono::milliseconds>(now - kFailuresWithin));
    if (!failures)
        return failures.Error();

    LineState read;
    const auto steadyNow = std::chrono::steady_clock::now();
    for (const StationHeartbeat& beat : *beats)
        if (silence.Silent(beat, steadyNow, now))
            read.silent.insert(beat.station);
    read.beats = std::move(*beats);
    read.today = TodayOf(*counts);
    for (RecordRow& row : *failures)
        read.failures[row.station].push_back(std::move(row));
    read.readAt = now;
    state = std::move(read);
    return std::nullopt;
}
