#pragma once

#include "station/factory/odbc_connection.h"
#include "station/web/web_site.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Looks up a unit's history across the stations (GET /api/history), one
// search at a time on a thread and a connection of its own, so that neither
// the page's server nor the poller ever waits for it. Each answer is handed
// to the search's callback on that thread.
class LineSearch {
public:
    static constexpr std::size_t kWaitingAtMost = 16;  // searches not begun; beyond, refused at once (503)
    static constexpr std::size_t kSerialAtMost = 200;  // as qeff_record's serial column holds

    explicit LineSearch(std::string connectionString);
    ~LineSearch();  // ends the thread after the search under way; those waiting are dropped
    LineSearch(const LineSearch&) = delete;
    LineSearch& operator=(const LineSearch&) = delete;

    void Find(std::string serial, std::function<void(WebReply)> answer);

private:
    struct Asked {
        std::string serial;
        std::function<void(WebReply)> answer;
    };
    void Run();
    WebReply Answer(const std::string& serial);

    const std::string connectionString_;
    std::optional<OdbcConnection> connection_;  // the search thread's alone
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Asked> waiting_;
    bool stop_ = false;
    std::thread thread_;
};
