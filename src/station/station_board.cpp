#include "station/station_board.h"

#include "station/event_json.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;
using Clock = std::chrono::system_clock;

namespace {

constexpr std::size_t RecordsShown = 20;

template <class TimePoint>
double Seconds(TimePoint from, TimePoint to) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count()) / 1000.0;
}

// A product's place: its location, where the system tells one, else its path.
std::string PlaceOf(const StationProduct& product) {
    return product.identity.location.empty() ? product.path : product.identity.location;
}

// "1-1.2" before "1-1.10": a fixture's ports in the order they are numbered.
bool PlacedBefore(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            // Leading zeros aside, the longer run of digits is the larger number.
            std::string_view na(a.data() + i, endA - i), nb(b.data() + j, endB - j);
            while (na.size() > 1 && na.front() == '0')
                na.remove_prefix(1);
            while (nb.size() > 1 && nb.front() == '0')
                nb.remove_prefix(1);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

json Nullable(const std::optional<std::uint32_t>& value) { return value ? json(*value) : json(nullptr); }

}  // namespace

StationBoard::StationBoard(RecordHeader header, std::size_t recordsKept)
    : header_(std::move(header)), recordsKept_(recordsKept) {}

void StationBoard::Take(const StationEvent& e) {
    const std::lock_guard lock(mutex_);
    const StationProduct& p = e.product;
    // The tile of the event's product, made at its place when it is new
    // there; none when a newer product took its place (one that restarted
    // and came back before its last upgrade was told ended).
    const auto tile = [&]() -> Tile* {
        const auto known = placeOf_.find(p.id);
        const std::string place = known != placeOf_.end() ? known->second : PlaceOf(p);
        placeOf_[p.id] = place;
        if (!tiles_.count(place))
            MakeRoom();
        Tile& t = tiles_[place];
        // A product verifying takes its tile back from itself come back (returned).
        const bool back = e.kind == Kind::Done && p.verified && t.state == "returned";
        if (t.place.empty() || t.id < p.id || (t.id != p.id && (t.state == "denied" || back))) {
            t = Tile{};
            t.id = p.id;
            t.place = place;
        } else if (t.id != p.id) {
            return nullptr;
        }
        t.product = p;
        return &t;
    };
    const auto show = [&](const char* state) {
        Tile* t = tile();
        if (t)
            t->state = state;
        return t;
    };
    state_ = e.state;  // the model's word, never the board's guess
    switch (e.kind) {
    case Kind::Package: header_.package = e.package; break;
    case Kind::Watching: startedAt_ = e.time; break;
    case Kind::Serving:
    case Kind::Paused:
    case Kind::Resumed: break;
    case Kind::Denied: {
        ++denied_;
        if (!tiles_.count(p.path))
            MakeRoom();
        Tile& t = tiles_[p.path];
        t = Tile{};
        t.place = p.path;
        t.product = p;
        t.product.message = e.text;
        t.state = "denied";
        break;
    }
    case Kind::Arrived:
        // A product that was denied at this path before is now seen as itself.
        if (const auto denied = tiles_.find(p.path);
            denied != tiles_.end() && denied->second.state == "denied" && PlaceOf(p) != p.path)
            tiles_.erase(denied);
        show("arrived");
        break;
    case Kind::Queued: show("queued"); break;
    case Kind::Returned:
    case Kind::Recorded:
        ++returned_;
        show("returned");
        break;
    case Kind::NotTaken: show("notTaken"); break;
    case Kind::Claimed: show("claimed"); break;
    case Kind::Left: show("left"); break;
    case Kind::Verifying:
        if (Tile* t = show("verifying"))
            t->percent = 100;
        break;
    case Kind::Started:
    case Kind::Progress:
        if (Tile* t = show("upgrading"))
            t->percent = e.kind == Kind::Started ? 0 : e.percent;
        break;
    case Kind::Message:
        if (!p.path.empty() && placeOf_.count(p.id))
            tile();  // the product as the message left it: its message
        break;
    case Kind::Stopping: stopReason_ = e.text; break;
    case Kind::Done: {
        ++outcomes_[p.outcome];
        if (Succeeded(p.outcome)) {
            if (firstUpgradeAt_ == Clock::time_point{})
                firstUpgradeAt_ = p.startedAt;
            lastUpgradeAt_ = p.endedAt;
        }
        // A stop cut it short, or came before its turn: no failure of the product's own.
        const bool interrupted = p.outcome == Outcome::Interrupted;
        notStarted_ += interrupted && !p.attempt;
        const char* state = !interrupted ? OutcomeState(p.outcome) : p.attempt ? "interrupted" : "notStarted";
        if (Tile* t = show(state)) {
            t->ended = true;
            if (Succeeded(p.outcome) || p.verified)
                t->percent = 100;
        }
        break;
    }
    case Kind::RecordDb: recordDb_ = {{"state", e.text}, {"waiting", e.recordDbWaiting.value_or(0)}, {"text", e.caption}}; break;
    case Kind::Summary:
        exitCode_ = OutcomeNumber(e.end);
        break;
    }
    switch (e.kind) {  // the product's last event: its place is no longer looked up
    case Kind::Done:
    case Kind::Left:
    case Kind::NotTaken:
    case Kind::Claimed:
    case Kind::Returned:
    case Kind::Recorded: placeOf_.erase(p.id); break;
    default: break;
    }
    const std::string record = recordsKept_ ? RecordLine(e, header_) : std::string();
    if (!record.empty()) {
        records_.emplace_back(IsoUtc(e.time), record.substr(0, record.size() - 1));  // without its newline
        if (records_.size() > recordsKept_) {
            records_.pop_front();
            ++recordsDropped_;
        }
    }
}

std::map<Outcome, int> StationBoard::Outcomes() const {
    const std::lock_guard lock(mutex_);
    return outcomes_;
}

void StationBoard::MakeRoom() {
    if (tiles_.size() < kPlacesKept)
        return;
    // The place whose product ended longest ago goes: a fixture's ports stay,
    // a long run of products at places never seen again is not held for ever.
    auto oldest = tiles_.end();
    for (auto it = tiles_.begin(); it != tiles_.end(); ++it)
        if (it->second.state != "upgrading" && it->second.state != "queued" && it->second.state != "arrived" &&
            it->second.state != "verifying" &&
            (oldest == tiles_.end() || it->second.id < oldest->second.id))
            oldest = it;
    if (oldest == tiles_.end())
        return;
    if (oldest->second.state != "denied")  // a denied path's tile stands for no product
        placeOf_.erase(oldest->second.id);
    tiles_.erase(oldest);
}

std::string StationBoard::StatusJson(Clock::time_point now) const {
    const std::lock_guard lock(mutex_);
    const PackageSummary& s = header_.package;
    json status;
    status["station"] = {{"name", header_.station},
                         {"operator", header_.operatorName},
                         {"state", StationStateName(state_)},
                         {"stopReason", stopReason_},
                         {"startedAt", startedAt_ == Clock::time_point{} ? json(nullptr) : json(IsoUtc(startedAt_))},
                         {"now", IsoUtc(now)},
                         {"exitCode", exitCode_ < 0 ? json(nullptr) : json(exitCode_)}};
    status["package"] = {{"path", s.path},           {"productName", s.productName}, {"productCode", s.productCode},
                         {"firmwareCode", s.firmwareCode}, {"sha256", s.sha256},     {"vendorId", s.vendorId},
                         {"productId", s.productId},    {"payloadSize", s.payloadSize}};
    if (!s.signer.empty())  // only a signature verified against the trust given
        status["package"]["signer"] = s.signer;

    std::vector<const Tile*> tiles;
    std::size_t running = 0, queued = 0, verifying = 0;
    for (const auto& [place, tile] : tiles_) {
        tiles.push_back(&tile);
        running += tile.state == "upgrading";
        queued += tile.state == "queued";
        verifying += tile.state == "verifying";
    }
    std::sort(tiles.begin(), tiles.end(), [](const Tile* a, const Tile* b) { return PlacedBefore(a->place, b->place); });

    std::size_t ended = 0, upgraded = 0;
    for (const auto& [outcome, count] : outcomes_) {
        ended += static_cast<std::size_t>(count);
        upgraded += Succeeded(outcome) ? static_cast<std::size_t>(count) : 0;
    }
    // The interrupted ones stay out of the yield: a stop is no product's failure.
    const auto cut = outcomes_.find(Outcome::Interrupted);
    const std::size_t interrupted = cut == outcomes_.end() ? 0 : static_cast<std::size_t>(cut->second);
    ended -= interrupted;
    const std::size_t failed = ended - upgraded;
    // Products an hour, over the time from the first upgrade's start to the
    // last one's end: what the line did, not how long it stood idle before.
    const double hours = Seconds(firstUpgradeAt_, lastUpgradeAt_) / 3600.0;
    status["counters"] = {{"upgraded", upgraded},
                          {"failed", failed},
                          {"interrupted", interrupted - notStarted_},
                          {"notStarted", notStarted_},
                          {"returned", returned_},
                          {"denied", denied_},
                          {"running", running},
                          {"queued", queued},
                          {"verifying", verifying},
                          {"yield", ended ? json(static_cast<double>(upgraded) / static_cast<double>(ended)) : json(nullptr)},
                          {"perHour", upgraded && hours > 0 ? json(static_cast<double>(upgraded) / hours) : json(nullptr)}};

    json products = json::array();
    for (const Tile* t : tiles) {
        const StationProduct& p = t->product;
        const bool started = p.startedAt != Clock::time_point{};
        products.push_back({{"id", t->id},
                            {"place", t->place},
                            {"path", p.path},
                            {"serial", p.identity.serial},
                            {"location", p.identity.location},
                            {"state", t->state},
                            {"percent", t->percent},
                            {"seconds", !started  ? json(nullptr)
                                        : t->ended ? json(Seconds(p.startedAt, p.endedAt))
                                                   : json(Seconds(p.began, std::chrono::steady_clock::now()))},
                            {"attempt", p.attempt},
                            {"tries", p.tries},
                            {"duplicateSerial", p.duplicateSerial},
                            {"message", p.message},
                            {"outcome", t->ended ? json(OutcomeName(p.outcome)) : json("")},
                            {"exitCode", t->ended ? json(OutcomeNumber(p.outcome)) : json(nullptr)},
                            {"ackCode", Nullable(p.ackCode)},
                            {"releaseBefore", ReleaseJson(p.identity.release)},
                            {"releaseAfter", ReleaseJson(p.releaseAfter)},
                            {"verified", p.verified ? json(*p.verified) : json(nullptr)}});
    }
    status["products"] = std::move(products);
    if (!recordDb_.is_null())
        status["recordDb"] = recordDb_;

    json records = json::array();  // the last ones, oldest first, as /api/records lists them
    for (auto it = records_.end() - static_cast<std::ptrdiff_t>(std::min(RecordsShown, records_.size()));
         it != records_.end(); ++it)
        records.push_back(json::parse(it->second, nullptr, false));
    status["records"] = std::move(records);
    return status.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string StationBoard::RecordsJson(std::string_view since, std::size_t* dropped) const {
    const std::lock_guard lock(mutex_);
    if (dropped)
        *dropped = recordsDropped_;
    std::string text = "[";
    for (const auto& [time, record] : records_) {
        if (!since.empty() && time <= since)  // ISO 8601 in UTC orders as its text does
            continue;
        if (text.size() > 1)
            text += ',';
        text += record;
    }
    return text + "]";
}
