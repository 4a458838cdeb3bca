#pragma once

#include "device/device_discovery.h"
#include "platform/sha256.h"
#include "device/outcome.h"
#include "station/record_feed.h"
#include "station/station_policy.h"
#include "station/web/station_web.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class EventOutput;
class HidArrivals;
class HidSystem;
class StationEventSink;
class StationModel;

struct StationOptions {
    std::string package;
    std::optional<Sha256Digest> sha256;  // the package must have this hash, or nothing is looked for
    std::optional<std::string> trust;    // the certificate that must vouch for the package's signer, or as above
    ProductChoice choice;                // only the products with this serial number and location
    StationLimits limits;                // the count, the failures in a row, the upgrades at once, the returns
    std::optional<std::string> record;   // append a line per product to this file
    std::optional<std::string> recordKey;  // the file holding the secret every record line's MAC is made with
    bool skipRecorded = false;           // skip serial numbers the record tells upgraded with this package
    std::string station;                 // the station's name in the record
    std::string operatorName;
    std::optional<std::string> http;       // serve the station's page and API at [ADDRESS:]PORT
    std::optional<std::string> httpToken;  // the file holding the secret every request to it carries
    std::optional<std::string> recordDb;   // the factory database's ODBC connection string, fed from the record
    RecordFeedTimings recordDbTimings;     // how long the feed waits for the database, and between its tries
    // With recordDb and skipRecorded: each product once across the factory's stations.
    std::chrono::seconds claimExpires{300};      // a dead station's claim on a product is taken over after this
    bool stopWhenDbUnreachable = false;          // else the station goes by its own record alone, saying so once
    std::chrono::milliseconds dbAnswerWithin{3000};  // the longest an arrival waits for the database
};

// The station: keeps upgrading every product with the package's IDs as it is
// plugged in, several at once, each once (a product that comes back after its
// upgrade is told of, not upgraded again), until it is stopped, until the
// count of products was upgraded, or until the line stops itself. Every
// change is one event, told to the output's lines, the record, the page and
// every sink subscribed; the model behind it is the one owner of its state.
class Station final : public StationCommands {
public:
    Station(StationOptions options, HidSystem& hid, HidArrivals& arrivals, EventOutput& out);
    ~Station() override;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Every event from now on also goes to `sink`, in order, from the thread
    // that made it: it must never block. Before Run.
    void Subscribe(StationEventSink& sink);
    // Runs the station on this thread until it ends; `interrupt` (Ctrl-C, the
    // signals) stops it as Stop() does; `reloadToken`, once raised, is lowered
    // and the token read again (ReloadToken). Returns how it ended: the worst
    // product's outcome, at least Interrupted when it was stopped and
    // OutputFailed when a line or a record could not be written.
    Outcome Run(const std::atomic<bool>& interrupt, std::atomic<bool>* reloadToken = nullptr);

    // From any thread, also before Run: no new product is taken while paused
    // (the running ones finish); Stop ends the running upgrades between two reports.
    CommandAnswer Pause(const std::string& by) override;
    CommandAnswer Resume(const std::string& by) override;
    CommandAnswer Stop(const std::string& by) override;
    // From any thread, while it runs: the --http-token file is read again and
    // its token replaces the last one, ending every browser's session; a file
    // that cannot be taken leaves the last token, and a message says why.
    void ReloadToken();

private:
    CommandAnswer SetPaused(bool paused, const std::string& by);

    StationOptions options_;
    HidSystem& hid_;
    HidArrivals& arrivals_;
    EventOutput& out_;
    std::vector<StationEventSink*> sinks_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;            // guards model_, web_, paused_ and the askers between Run and the commands
    StationModel* model_ = nullptr;
    StationWeb* web_ = nullptr;
    bool paused_ = false;
    std::string pauseBy_, stopBy_;
};
