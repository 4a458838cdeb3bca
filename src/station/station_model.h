#pragma once

#include "device/firmware_transfer.h"
#include "station/station_event.h"
#include "station/station_board.h"
#include "station/station_policy.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class EventFanout;

// The one owner of the station's state: each product's state, attempt and
// tries, the policy's decisions, and the board (tiles, counters, records) the
// page and the API read. Every change is posted to the fan-out as an event, in
// the order the changes were made, after the board took it. Used from the
// watching thread and every product's thread at once.
class StationModel {
public:
    // `recordsShown`: how many of this run's record lines the board keeps for the page.
    StationModel(StationPolicy policy, EventFanout& writer, const RecordHeader& header, std::size_t recordsShown = 10000);

    void Package();
    void Watching();
    void Denied(const std::string& path);
    // A product that arrived, known by its plug (what is new with every plug,
    // else its path), with the plugs present now: its number and what is done
    // with it.
    std::pair<std::size_t, ArrivalVerdict> Arrive(const std::string& path, const std::string& plug,
                                                  const DeviceIdentity& identity, const std::set<std::string>& present);
    std::optional<std::size_t> NextFromQueue();
    void Left(std::size_t id);
    // A product taken and let go before it began, told with `told` (Recorded,
    // Claimed, NotTaken) and the station the factory's database named.
    void LetGoAs(std::size_t id, StationEvent::Kind told, const std::string& station);
    // The product's upgrade starts now.
    void Begin(std::size_t id);
    // `sent` of the payload's `total` bytes went to the product.
    void Progress(std::size_t id, int percent, std::uint64_t sent, std::uint64_t total);
    void Message(std::size_t id, const std::string& caption, const std::string& text,
                 MessageStyle style = MessageStyle::Plain);
    void PackageMessage(const std::string& caption, const std::string& text);
    // The upgrade ended with `outcome`; `result` where the transfer ran. With
    // an expected release, one upgraded is verifying until it comes back.
    void Finish(std::size_t id, Outcome outcome, const std::optional<TransferResult>& result);
    // Those verifying whose time is up end not returned.
    void Expire();
    // Those still verifying end interrupted: the station stops.
    void EndVerifications();
    std::size_t Verifying() const;
    // A product taken but not started, dropped as the station stops.
    void Drop(std::size_t id);
    void Stop(StopReason reason, const std::string& by = {});
    // Takes no new product while paused; the running ones finish. Told once
    // per change: false when nothing changed (so already, or stopping).
    bool Pause(bool paused, const std::string& by = {});
    StationState State() const;
    // The page's address is told, once it listens.
    void Serving(const std::string& url, const std::string& link);
    // The factory database's feed: its state, the record lines waiting and its last failure.
    void RecordDb(const std::string& state, std::uint64_t waiting, const std::string& why);
    StopReason Stopping() const;
    std::size_t Running() const;
    // Posts the summary; returns how the run ended: the worst outcome, at least `atLeast`.
    Outcome Summary(Outcome atLeast);
    // The station as its page shows it, kept up by every event.
    const StationBoard& Board() const { return board_; }

private:
    std::string StopText(StopReason reason) const;  // under the lock
    StationState StateLocked() const;
    void Post(StationEvent::Kind kind, const StationProduct& product, std::string text = {}, std::string by = {});
    void Post(StationEvent event);  // to the board, then the fan-out; under the lock
    void PostMessage(const StationProduct& product, const std::string& caption, const std::string& text,
                     MessageStyle style = MessageStyle::Plain);
    // A product taken and never started, let go with the event that tells why; under the lock.
    void LetGo(std::size_t id, StationEvent::Kind told, std::string text = {});
    // A product verifying ends with `outcome`, told by `text`; under the lock.
    void EndVerification(std::size_t id, Outcome outcome, const std::string& text,
                         std::optional<std::uint16_t> releaseAfter = std::nullopt);
    // The product is done: told, and the line's stop told if it stops now; under the lock.
    void Done(const StationProduct& product, StopReason before);

    mutable std::mutex mutex_;
    StationPolicy policy_;
    EventFanout& writer_;
    PackageSummary package_;
    StationBoard board_;
    std::map<std::size_t, StationProduct> products_;  // taken and not yet done
    std::map<std::size_t, std::string> plugs_;          // of the products taken
    std::map<std::size_t, std::string> upgradedPlugs_;  // of the products done and upgraded
    std::size_t nextId_ = 0;
    int attempts_ = 0;
    bool watching_ = false, ended_ = false;  // Watching, Summary told
    std::optional<std::uint64_t> recordDbWaiting_;  // as the feed last told it; none without one
};
