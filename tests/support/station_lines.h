#pragma once

// The station's JSON lines as they come, for a test on another thread to
// wait for and to act on.

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

class StationLines final : public std::streambuf {
public:
    using json = nlohmann::json;
    using Clock = std::chrono::steady_clock;

    std::function<void(const json&)> onLine;  // on the station's thread
    bool keep = true;                         // false: lines are only handed to onLine

    // Waits up to `within` until `enough` holds for the lines so far.
    bool WaitFor(const std::function<bool(const std::vector<json>&)>& enough,
                 std::chrono::seconds within = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, within, [&] { return enough(lines_); });
    }
    std::vector<json> Events(const std::string& event) {
        const std::lock_guard lock(mutex_);
        std::vector<json> found;
        for (const json& line : lines_)
            if (line["event"] == event)
                found.push_back(line);
        return found;
    }
    Clock::time_point FirstAt(const std::string& event, const std::string& path) {
        const std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i]["event"] == event && lines_[i].value("path", "") == path)
                return times_[i];
        return {};
    }

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof())
            return c;
        const std::lock_guard lock(mutex_);
        if (c != '\n') {
            partial_ += static_cast<char>(c);
            return c;
        }
        const json line = json::parse(partial_);  // every line is one JSON object
        partial_.clear();
        if (onLine)
            onLine(line);
        if (keep) {
            lines_.push_back(line);
            times_.push_back(Clock::now());
        }
        changed_.notify_all();
        return c;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string partial_;
    std::vector<json> lines_;
    std::vector<Clock::time_point> times_;
};
