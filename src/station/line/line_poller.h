#pragma once

#include "station/factory/odbc_connection.h"
#include "station/line/line_view.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Reads the factory's database every kEvery, on a thread of its own, and
// keeps what the line's page shows as JSON: the page is answered from it at
// once and never waits for the database. When the database cannot be read,
// the last state read is kept, and since when and why it cannot be.
class LinePoller {
public:
    static constexpr auto kEvery = std::chrono::seconds(2);
    static constexpr std::int64_t kFailuresShown = 5;
    static constexpr auto kFailuresWithin = std::chrono::days(7);  // older failures are the records' to tell
    // A database that does not answer holds the poller this long at most.
    static constexpr OdbcTimeouts kTimeouts{std::chrono::seconds(5), std::chrono::seconds(5), std::chrono::seconds(5)};

    explicit LinePoller(std::string connectionString);
    // Ends the thread after the read under way; one held by a stalled
    // database past kLeaveAfter is left to its call, which keeps what it uses.
    ~LinePoller();
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    // GET /api/line, as last read. From any thread.
    std::shared_ptr<const std::string> Json() const;

    static constexpr auto kLeaveAfter = std::chrono::seconds(1);
    struct Work;

private:
    std::shared_ptr<Work> work_;  // also the thread's
};
