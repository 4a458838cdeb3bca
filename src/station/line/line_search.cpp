#include "station/line/line_search.h"

#include "station/factory/record_history.h"
#include "station/line/line_view.h"
#include "station/web/web_server.h"

#include <nlohmann/json.hpp>

namespace {

// A database that does not answer is told by the web server's bound on a
// search (a 504: "did not answer in time"); the search's own bounds are
// longer, so that the two never race, and free its thread afterwards.
constexpr OdbcTimeouts kSearchTimeouts{std::chrono::seconds(8), std::chrono::seconds(8), std::chrono::seconds(8)};
static_assert(kSearchTimeouts.login > WebServer::kSearchWithin && kSearchTimeouts.connection > WebServer::kSearchWithin &&
                  kSearchTimeouts.query > WebServer::kSearchWithin,
              "the server's 504 must come before the search's own time-out");

WebReply Error(unsigned status, const char* code, const std::string& message) {
    return {status, nlohmann::json{{"error", code}, {"message", message}}.dump(-1, ' ', false,
                                                                               nlohmann::json::error_handler_t::replace)};
}

}  // namespace

struct LineSearch::Work {
    struct Asked {
        std::string serial;
        std::function<void(WebReply)> answer;
    };
    explicit Work(std::string c) : connectionString(std::move(c)) {}

    void Run();
    WebReply Answer(const std::string& serial);

    const std::string connectionString;
    std::optional<OdbcConnection> connection;  // the search thread's alone, to `mutex`
    std::mutex mutex;  // guards what follows
    std::condition_variable wake, ended;
    std::deque<Asked> waiting;
    bool stop = false, over = false;
};

LineSearch::LineSearch(std::string connectionString) : work_(std::make_shared<Work>(std::move(connectionString))) {
    std::thread([work = work_] { work->Run(); }).detach();  // ended below, or left in a stalled call
}

LineSearch::~LineSearch() {
    std::unique_lock lock(work_->mutex);
    work_->stop = true;
    work_->waiting.clear();
    work_->wake.notify_all();
    work_->ended.wait_for(lock, kLeaveAfter, [this] { return work_->over; });
}

void LineSearch::Find(std::string serial, std::function<void(WebReply)> answer) {
    if (serial.empty() || serial.size() > kSerialAtMost)
        return answer(Error(400, "badSerial", "Give a serial number of 1 to 200 characters: /api/history?serial=S."));
    {
        const std::lock_guard lock(work_->mutex);
        if (work_->waiting.size() < kWaitingAtMost) {
            work_->waiting.push_back({std::move(serial), std::move(answer)});
            work_->wake.notify_one();
            return;
        }
    }
    answer(Error(503, "busy", "Too many searches are under way: try again in a few seconds."));
}

void LineSearch::Work::Run() {
    std::unique_lock lock(mutex);
    while (true) {
        wake.wait(lock, [this] { return stop || !waiting.empty(); });
        if (stop)
            break;
        Asked asked = std::move(waiting.front());
        waiting.pop_front();
        lock.unlock();
        asked.answer(Answer(asked.serial));
        lock.lock();
    }
    over = true;
    ended.notify_all();
}

WebReply LineSearch::Work::Answer(const std::string& serial) {
    const auto unreachable = [this](const DbError& error) {
        connection.reset();
        return Error(503, "databaseUnreachable", "The factory database cannot be reached: " + error.Text());
    };
    if (!connection) {
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connectionString, kSearchTimeouts);
        if (!opened)
            return unreachable(opened.Error());
        connection.emplace(std::move(*opened));
    }
    HistoryFilter filter;
    filter.serial = serial;
    DbResult<std::vector<RecordRow>> rows = RecordHistory(*connection, filter);
    if (!rows)
        return unreachable(rows.Error());
    return {200, HistoryJson(serial, *rows)};
}
