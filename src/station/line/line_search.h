#pragma once

#include "station/factory/odbc_connection.h"
#include "station/web/web_site.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
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
    // Ends the thread after the search under way, those waiting dropped; one
    // held by a stalled database past kLeaveAfter is left to its call, which
    // keeps what it uses.
    ~LineSearch();
    LineSearch(const LineSearch&) = delete;
    LineSearch& operator=(const LineSearch&) = delete;

    void Find(std::string serial, std::function<void(WebReply)> answer);

    static constexpr auto kLeaveAfter = std::chrono::seconds(1);
    struct Work;

private:
    std::shared_ptr<Work> work_;  // also the thread's
};
