#include "station/line/line_poller.h"

#include "station/factory/station_outcomes.h"

LinePoller::LinePoller(std::string connectionString)
    : connectionString_(std::move(connectionString)),
      json_(std::make_shared<const std::string>(LineJson(state_, std::nullopt))) {
    thread_ = std::thread([this] { Run(); });
}

LinePoller::~LinePoller() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::shared_ptr<const std::string> LinePoller::Json() const {
    const std::lock_guard lock(mutex_);
    return json_;
}

void LinePoller::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        if (DbStatus error = Read()) {
            connection_.reset();  // connected anew at the next read: the server may have restarted
            if (!trouble_)
                trouble_ = DatabaseTrouble{std::chrono::system_clock::now(), {}};
            trouble_->why = error->Text();
        } else {
            trouble_.reset();
        }
        auto json = std::make_shared<const std::string>(LineJson(state_, trouble_));
        lock.lock();
        json_ = std::move(json);
        wake_.wait_until(lock, started + kEvery, [this] { return stop_; });
    }
}

DbStatus LinePoller::Read() {
    if (!connection_) {
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connectionString_, kTimeouts);
        if (!opened)
            return opened.Error();
        connection_.emplace(std::move(*opened));
    }
    DbResult<std::vector<StationHeartbeat>> beats = ReadHeartbeats(*connection_);
    if (!beats)
        return beats.Error();
    const auto now = std::chrono::system_clock::now();
    DbResult<std::vector<OutcomeCount>> counts = CountOutcomesSince(*connection_, LocalMidnight(now));
    if (!counts)
        return counts.Error();
    DbResult<std::vector<RecordRow>> failures = LastFailures(*connection_, kNotFailures, kFailuresShown);
    if (!failures)
        return failures.Error();

    LineState read;
    const auto steadyNow = std::chrono::steady_clock::now();
    for (const StationHeartbeat& beat : *beats)
        if (silence_.Silent(beat, steadyNow, now))
            read.silent.insert(beat.station);
    read.beats = std::move(*beats);
    read.today = TodayOf(*counts);
    for (RecordRow& row : *failures)
        read.failures[row.station].push_back(std::move(row));
    read.readAt = now;
    state_ = std::move(read);
    return std::nullopt;
}
