#include "station/line/line_search.h"

#include "station/factory/record_history.h"
#include "station/line/line_poller.h"
#include "station/line/line_view.h"

#include <nlohmann/json.hpp>

namespace {

WebReply Error(unsigned status, const char* code, const std::string& message) {
    return {status, nlohmann::json{{"error", code}, {"message", message}}.dump(-1, ' ', false,
                                                                               nlohmann::json::error_handler_t::replace)};
}

}  // namespace

LineSearch::LineSearch(std::string connectionString) : connectionString_(std::move(connectionString)) {
    thread_ = std::thread([this] { Run(); });
}

LineSearch::~LineSearch() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void LineSearch::Find(std::string serial, std::function<void(WebReply)> answer) {
    if (serial.empty() || serial.size() > kSerialAtMost)
        return answer(Error(400, "badSerial", "Give a serial number of 1 to 200 characters: /api/history?serial=S."));
    {
        const std::lock_guard lock(mutex_);
        if (waiting_.size() < kWaitingAtMost) {
            waiting_.push_back({std::move(serial), std::move(answer)});
            wake_.notify_one();
            return;
        }
    }
    answer(Error(503, "busy", "Too many searches are under way: try again in a few seconds."));
}

void LineSearch::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
        if (stop_)
            return;
        Asked asked = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        asked.answer(Answer(asked.serial));
        lock.lock();
    }
}

WebReply LineSearch::Answer(const std::string& serial) {
    const auto unreachable = [this](const DbError& error) {
        connection_.reset();
        return Error(503, "databaseUnreachable", "The factory database cannot be reached: " + error.Text());
    };
    if (!connection_) {
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connectionString_, LinePoller::kTimeouts);
        if (!opened)
            return unreachable(opened.Error());
        connection_.emplace(std::move(*opened));
    }
    HistoryFilter filter;
    filter.serial = serial;
    DbResult<std::vector<RecordRow>> rows = RecordHistory(*connection_, filter);
    if (!rows)
        return unreachable(rows.Error());
    return {200, HistoryJson(serial, *rows)};
}
