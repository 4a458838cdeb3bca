#pragma once

#include "station/station_event.h"
#include "station/record_line.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

// The station's state as it is shown, kept up by the station's model with
// every event it makes, under its lock: the one place that counts the
// products done (the summary, the page and the API read it here): the package, one tile per place (a product's location, else its
// path: a fixture's ports keep their tiles, each showing the last product
// plugged in there), the counters and this run's records. Events are taken
// from any thread; the web's thread reads.
class StationBoard {
public:
    explicit StationBoard(RecordHeader header, std::size_t recordsKept = 10000);

    void Take(const StationEvent& event);

    // How many products ended with each outcome so far.
    std::map<Outcome, int> Outcomes() const;

    // GET /api/status, as one JSON object.
    std::string StatusJson(std::chrono::system_clock::time_point now) const;
    // GET /api/records: this run's record lines (at most the last
    // `recordsKept`; none when that is 0) as a JSON array, oldest first;
    // with `since` (an ISO 8601 UTC time, as the records write it) only
    // those of a later time. `dropped`: how many older lines were let go.
    std::string RecordsJson(std::string_view since = {}, std::size_t* dropped = nullptr) const;

    // What a tile shows of its product.
    struct Tile {
        std::size_t id = 0;
        std::string place;
        StationProduct product;
        std::string state;  // arrived queued upgrading verifying upgraded verified notVerified notReturned
                            // returned refused lost failed denied left notTaken interrupted notStarted
        int percent = 0;
        bool ended = false;  // its upgrade ended, with the product's exit code
    };

    // The places shown at most: a fixture's ports, with room to spare.
    static constexpr std::size_t kPlacesKept = 128;

private:
    // Past kPlacesKept places, the one whose product ended longest ago goes.
    void MakeRoom();  // under the lock

    mutable std::mutex mutex_;
    RecordHeader header_;
    std::size_t recordsKept_;
    StationState state_ = StationState::Starting;  // as the model told it with its last event
    std::string stopReason_;
    std::chrono::system_clock::time_point startedAt_{}, firstUpgradeAt_{}, lastUpgradeAt_{};
    std::map<std::string, Tile> tiles_;  // by place
    std::map<std::size_t, std::string> placeOf_;  // product id: its place
    std::map<Outcome, int> outcomes_;  // of the products done: the station's one count of them
    std::size_t notStarted_ = 0;       // of the interrupted ones, those stopped before their turn
    std::size_t returned_ = 0, denied_ = 0;
    std::deque<std::pair<std::string, std::string>> records_;  // time, JSON object; oldest first
    std::size_t recordsDropped_ = 0;
    int exitCode_ = -1;
    nlohmann::json recordDb_;  // the factory database's feed, as last told; null without one
};
