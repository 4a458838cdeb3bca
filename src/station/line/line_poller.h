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
    // A database that does not answer holds the poller this long at most.
    static constexpr OdbcTimeouts kTimeouts{std::chrono::seconds(5), std::chrono::seconds(5), std::chrono::seconds(5)};

    explicit LinePoller(std::string connectionString);
    ~LinePoller();  // ends the thread, after the read under way
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    // GET /api/line, as last read. From any thread.
    std::shared_ptr<const std::string> Json() const;

private:
    void Run();
    // One read; why it failed, if it did.
    DbStatus Read();

    const std::string connectionString_;
    std::optional<OdbcConnection> connection_;  // the poller's thread's alone
    SilenceWatch silence_;
    LineState state_;
    std::optional<DatabaseTrouble> trouble_;

    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> json_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
