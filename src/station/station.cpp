#include "station/station.h"

#include "device/firmware_transfer.h"
#include "device/product_watcher.h"
#include "package/checked_package.h"
#include "package/package_bytes.h"
#include "package/signed_package.h"
#include "station/event_fanout.h"
#include "station/event_output.h"
#include "station/factory_products.h"
#include "station/fed_record_file.h"
#include "station/record_chain.h"
#include "station/record_file.h"
#include "station/record_key.h"
#include "station/record_reader.h"
#include "station/sealed_record_file.h"
#include "station/station_board.h"
#include "station/station_model.h"
#include "station/web/token_file.h"

#include <nlohmann/json.hpp>

#include <list>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// How long one wait for products lasts before Ctrl-C and the limits are looked
// at again; a product that arrives meanwhile ends the wait at once.
constexpr std::chrono::milliseconds LookAgainEvery{100};
// How long a stopping station waits for the factory database to take the
// record lines waiting, and then its stop line.
constexpr std::chrono::seconds kFeedSendsAtStop{5};
constexpr std::chrono::seconds kFeedSendsStopLine{2};

// One product's transfer as the station tells it: progress every tenth,
// the transfer's messages, Ctrl-C between reports.
class StationView final : public TransferView {
public:
    StationView(std::size_t id, StationModel& model, const std::atomic<bool>& stop, const std::atomic<bool>& asked)
        : id_(id), model_(model), stop_(stop), asked_(asked) {}
    void SetGauge(int) override {}
    void ShowMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        model_.Message(id_, caption, text, style);
    }
    void ProcessPendingEvents() override {}
    void PayloadSent(std::uint64_t sent, std::uint64_t total) override {
        const int tenth = total ? static_cast<int>(sent * 10 / total) : 10;
        if (tenth > lastTenth_ && sent < total) {  // the end is told by the outcome
            lastTenth_ = tenth;
            if (tenth > 0)
                model_.Progress(id_, tenth * 10, sent, total);
        }
    }
    bool StopRequested() override { return stop_.load() || asked_.load(); }

private:
    std::size_t id_;
    StationModel& model_;
    const std::atomic<bool>& stop_;   // Ctrl-C and the signals
    const std::atomic<bool>& asked_;  // the page's Stop
    int lastTenth_ = 0;
};

// The interfaces present now, each by what is new with every plug where the
// system tells it (a path may be handed to the next product), else by its path.
std::map<std::string, std::string> PresentPlugs(HidSystem& hid) {
    std::map<std::string, std::string> plugs;  // path: plug
    const auto set = hid.PresentInterfaces();
    for (std::size_t i = 0; set; ++i) {
        InterfaceEntry entry = set->At(i);
        if (entry.kind == InterfaceEntry::Kind::End)
            break;
        if (entry.kind == InterfaceEntry::Kind::Path)
            plugs[entry.path] = entry.instance.empty() ? entry.path : entry.instance;
    }
    return plugs;
}

// The station refuses to start: the package is told, if it could be read, the
// reason and an empty summary.
Outcome Refuse(EventOutput& out, const std::vector<StationEventSink*>& sinks, const PackageSummary& package, bool told,
               const std::string& why, Outcome outcome, const std::string& caption = "File Error") {
    EventFanout fanout(out, nullptr, {});
    for (StationEventSink* sink : sinks)  // they hear why, as the output does
        fanout.Subscribe(sink);
    StationModel model(StationPolicy({}), fanout, {"", "", package});
    if (told)
        model.Package();
    model.PackageMessage(caption, why);
    model.Summary(outcome);
    fanout.Close();
    return outcome;
}

// Tells the model what the feed of the factory's database tells, once there
// is a model: what the feed told before is told then.
class FeedToModel {
public:
    // The station's heartbeat, as its board shows it; none before there is a model.
    std::optional<StationHeartbeat> Beat() {
        const std::lock_guard lock(mutex_);
        if (!model_)
            return std::nullopt;
        StationHeartbeat beat;
        beat.status = model_->Board().StatusJson(std::chrono::system_clock::now());
        const nlohmann::json status = nlohmann::json::parse(beat.status, nullptr, false);
        const auto text = [&](const char* object, const char* field) {
            const auto it = status.is_object() ? status.find(object) : status.end();
            if (it == status.end() || !it->is_object() || !it->contains(field) || !(*it)[field].is_string())
                return std::string();
            return (*it)[field].get<std::string>();
        };
        beat.state = text("station", "state");
        beat.package = text("package", "path");
        beat.packageSha256 = text("package", "sha256");
        beat.firmwareCode = text("package", "firmwareCode");
        beat.page = page_;
        return beat;
    }
    void Page(std::string url) {
        const std::lock_guard lock(mutex_);
        page_ = std::move(url);
    }
    void Tell(const RecordFeedStatus& status) {
        const std::lock_guard lock(mutex_);
        last_ = status;
        if (model_)
            model_->RecordDb(status.state, status.waiting, status.why);
    }
    void Reach(StationModel* model) {
        const std::lock_guard lock(mutex_);
        model_ = model;
        if (model_ && last_)
            model_->RecordDb(last_->state, last_->waiting, last_->why);
    }

private:
    std::mutex mutex_;
    StationModel* model_ = nullptr;
    std::optional<RecordFeedStatus> last_;
    std::string page_;
};

// What --http and --http-token give, or why they cannot be taken.
std::optional<WebOptions> WebOptionsOf(const StationOptions& options, std::string& why) {
    std::optional<WebOptions> web = ParseListenAddress(*options.http, why);
    if (!web)
        return std::nullopt;
    if (options.httpToken) {
        auto token = ReadToken(*options.httpToken, why);
        if (!token)
            return std::nullopt;
        web->token = std::move(token);
    }
    if (!web->token && !IsLoopbackAddress(web->address)) {
        why = "Listening on " + web->address +
              " lets other computers in: give the secret they must show with --http-token FILE.";
        return std::nullopt;
    }
    return web;
}

}  // namespace

Station::Station(StationOptions options, HidSystem& hid, HidArrivals& arrivals, EventOutput& out)
    : options_(std::move(options)), hid_(hid), arrivals_(arrivals), out_(out) {}

Station::~Station() = default;

void Station::Subscribe(StationEventSink& sink) { sinks_.push_back(&sink); }

CommandAnswer Station::Pause(const std::string& by) { return SetPaused(true, by); }

CommandAnswer Station::Resume(const std::string& by) { return SetPaused(false, by); }

CommandAnswer Station::Stop(const std::string& by) {
    const std::lock_guard lock(mutex_);
    const bool changed = !stop_.exchange(true);
    if (changed)
        stopBy_ = by;
    const bool stopped = model_ && model_->State() == StationState::Stopped;
    return {changed, stopped ? "stopped" : "stopping"};
}

CommandAnswer Station::SetPaused(bool paused, const std::string& by) {
    const std::lock_guard lock(mutex_);
    if (!model_) {  // starting: held until it watches, unless it is stopped first
        const bool changed = paused_ != paused && !stop_;
        if (changed) {
            paused_ = paused;
            pauseBy_ = by;
        }
        return {changed, stop_ ? "stopping" : "starting"};
    }
    const bool changed = model_->Pause(paused, by);
    if (changed)
        paused_ = paused;
    return {changed, StationStateName(model_->State())};
}

void Station::ReloadToken() {
    const std::lock_guard lock(mutex_);
    if (!web_ || !model_ || !options_.httpToken)
        return;
    std::string why;
    if (auto token = ReadToken(*options_.httpToken, why)) {
        web_->ReplaceToken(std::move(*token));
        model_->PackageMessage("Token", "The token was read again from " + *options_.httpToken +
                                            ": every browser must be let in again, with a new link (POST /api/link).");
    } else {
        model_->PackageMessage("Error", why + " The last token still holds.");
    }
}

Outcome Station::Run(const std::atomic<bool>& stop, std::atomic<bool>* reloadToken) {
    const StationOptions& options = options_;
    HidSystem& hid = hid_;
    EventOutput& out = out_;
    std::string why;
    auto package = CheckPackage(options.package, why);
    if (!package) {
        PackageSummary named;
        named.path = options.package;
        return Refuse(out, sinks_, named, false, why, Outcome::FileError);
    }
    if (const auto untrusted = TrustRefusal(*package, options.trust))
        return Refuse(out, sinks_, package->summary, true, *untrusted, Outcome::FileError);
    if (const auto refused = PinRefusal(*package, options.sha256))
        return Refuse(out, sinks_, package->summary, true, *refused, Outcome::FileError);

    if (options.recordDb && !options.record)
        return Refuse(out, sinks_, package->summary, true,
                      "The factory database is fed from the station's own record: give --record FILE with --record-db.",
                      Outcome::Usage, "Error");
    FeedToModel feedToModel;
    std::unique_ptr<RecordFeed> feed;
    std::unique_ptr<RecordFile> record;
    std::set<std::string> recorded;
    if (options.record) {
        std::optional<std::string> key;
        if (options.recordKey) {
            std::string refused;
            key = ReadRecordKey(*options.recordKey, refused);
            if (!key)
                return Refuse(out, sinks_, package->summary, true, refused, Outcome::Usage, "Error");
        }
        const auto before = ReadRecord(*options.record);
        if (before && options.skipRecorded) {
            // What a record that was changed tells is not to be trusted.
            if (const ChainCheck check = CheckRecordChain(*before, key); !check.Holds())
                return Refuse(out, sinks_, package->summary, true,
                              "The record " + *options.record + " does not hold at line " + std::to_string(check.line) +
                                  ": " + check.why + " See qefftool record verify " + *options.record +
                                  "; keep it as it is, and give --record a new file.",
                              Outcome::FileError);
            recorded = RecordedUpgrades(*before, package->summary.sha256);
        }
        auto file = before ? RecordFile::Open(*options.record) : nullptr;
        if (!file) {
            out.Warn("the record " + *options.record + " cannot be opened.");
            return Refuse(out, sinks_, package->summary, true, "The record " + *options.record + " cannot be opened.",
                          Outcome::OutputFailed);
        }
        record = std::make_unique<SealedRecordFile>(std::move(file), ChainTail(*before), std::move(key));
        if (options.recordDb) {
            feed = std::make_unique<RecordFeed>(
                *options.record, *options.recordDb, options.station,
                [&feedToModel](const RecordFeedStatus& status) { feedToModel.Tell(status); },
                [&feedToModel] { return feedToModel.Beat(); }, options.recordDbTimings);
            record = std::make_unique<FedRecordFile>(std::move(record), *feed);
        }
    }

    // Each product once across the factory: asked of its database at every arrival.
    std::unique_ptr<FactoryProducts> factory;
    if (options.recordDb && options.skipRecorded)
        factory = std::make_unique<FactoryProducts>(FactoryProducts::Settings{
            *options.recordDb, options.station, package->summary.sha256, options.claimExpires, options.dbAnswerWithin});
    bool toldOwnRecord = false;

    std::optional<WebOptions> web;
    if (options.http) {
        std::string refused;
        web = WebOptionsOf(options, refused);
        if (!web)
            return Refuse(out, sinks_, package->summary, true, refused, Outcome::Usage, "Error");
    }

    const RecordHeader header{options.station, options.operatorName, package->summary};
    EventFanout writer(out, record.get(), header);
    // The records are kept for the page alone: without one, a long run holds none of them in memory.
    StationModel model(StationPolicy(options.limits, std::move(recorded)), writer, header, web ? 10000 : 0);
    // The feed tells the model until it ends, before the model goes.
    struct FeedEnd {
        RecordFeed* feed;
        FeedToModel& told;
        ~FeedEnd() {
            // The station ends either way: a failing lock here must not end
            // the process, nor leave the feed telling a model that has gone.
            try {
                if (feed)
                    feed->Finish(std::chrono::milliseconds(0));
            } catch (...) {
            }
            try {
                told.Reach(nullptr);
            } catch (...) {
            }
        }
    } feedEnd{feed.get(), feedToModel};
    std::unique_ptr<StationWeb> page;
    if (web) {
        try {
            page = std::make_unique<StationWeb>(*web, model.Board(), *this);
        } catch (const std::exception& e) {
            writer.Close();
            return Refuse(out, sinks_, package->summary, true, e.what(), Outcome::Failed, "Error");
        }
        writer.Subscribe(page.get());
    }
    for (StationEventSink* sink : sinks_)
        writer.Subscribe(sink);
    model.Package();
    if (page) {
        model.Serving(page->Url(), page->Link());
        feedToModel.Page(page->Url());
    }
    const std::uint16_t vid = package->summary.vendorId, pid = package->summary.productId;
    ProductWatcher watcher(hid, arrivals_, vid, pid, options.choice);
    model.Watching();
    feedToModel.Reach(&model);
    // From now on the commands reach the model, never before it told what it
    // watches for; a pause asked for while it started is kept. Let go of
    // however Run ends.
    struct Reach {
        Station& station;
        ~Reach() {
            const std::lock_guard lock(station.mutex_);
            station.model_ = nullptr;
            station.web_ = nullptr;
        }
    } reach{*this};
    {
        const std::lock_guard lock(mutex_);
        model_ = &model;
        web_ = page.get();
        if (paused_)
            model.Pause(true, pauseBy_);
    }

    struct Upgrade {
        std::thread thread;
        std::atomic<bool> over{false};
    };
    std::list<Upgrade> running;
    std::map<std::size_t, FoundProduct> queued;  // their devices stay open while they wait
    std::map<std::size_t, std::string> queuedPlugs;
    const auto reap = [&](bool all) {
        for (auto it = running.begin(); it != running.end();) {
            if (all || it->over) {
                it->thread.join();
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    };
    // Each product on a thread of its own with its own device: one product's
    // failure, or its slowness, holds up no other.
    const auto launch = [&](std::size_t id, FoundProduct found) {
        model.Begin(id);
        Upgrade& upgrade = running.emplace_back();
        auto run = [&, id, found = std::move(found), &over = upgrade.over]() mutable {
            Outcome outcome = Outcome::Failed;
            std::optional<TransferResult> result;
            try {
                StationView view(id, model, stop, stop_);
                result = TransferFirmware(view, *found.device, std::make_unique<PackageBytes>(package->bytes));
                found.device.reset();  // closed before anyone hears how it went
                if (result->outcome == TransferOutcome::Interrupted)
                    model.Message(id, "Interrupted",
                                  "Stopped after " + std::to_string(result->payloadSent) + " of " +
                                      std::to_string(result->payloadSize) +
                                      " bytes. The product may hold part of the new firmware: upgrade it again.",
                                  MessageStyle::Exclamation);
                outcome = OutcomeOf(result->outcome);
            } catch (const std::exception& e) {
                found.device.reset();
                model.Message(id, "Error", e.what(), MessageStyle::Error);
            }
            model.Finish(id, outcome, result);
            if (factory && outcome != Outcome::Upgraded && !found.identity.serial.empty())
                factory->Release(found.identity.serial);  // another try may take it, here or elsewhere
            over = true;
        };
        try {
            upgrade.thread = std::thread(std::move(run));
        } catch (const std::system_error&) {  // no thread to be had: the product is told it failed
            running.pop_back();
            model.Message(id, "Error", "No thread to be had for its upgrade; nothing was sent.", MessageStyle::Error);
            model.Finish(id, Outcome::Failed, std::nullopt);
        }
    };
    const auto lookAtLimits = [&] {
        if (stop.load() || stop_.load()) {
            std::string by = "a signal";
            if (!stop.load()) {
                const std::lock_guard lock(mutex_);
                by = stopBy_;
            }
            model.Stop(StopReason::Interrupted, by);
        }
        if (reloadToken && reloadToken->exchange(false))
            ReloadToken();
        if (writer.OutputFailed())
            model.Stop(StopReason::OutputFailed);
        if (writer.RecordFailed())
            model.Stop(StopReason::RecordFailed);
        return model.Stopping() == StopReason::None;
    };

    const auto look = [&] {
        WatchedChange change = watcher.Arrived(LookAgainEvery);
        lookAtLimits();  // nothing is started once a stop was asked for
        for (const std::string& path : change.denied)
            model.Denied(path);
        // The products that arrived together are decided on together, before
        // any of them starts: one that ends at once changes no other's fate.
        const auto plugs = change.arrived.empty() && queued.empty() ? std::map<std::string, std::string>()
                                                                    : PresentPlugs(hid);
        std::set<std::string> present;
        for (const auto& [path, plug] : plugs)
            present.insert(plug);
        const auto plugOf = [&](const std::string& path) {
            const auto it = plugs.find(path);
            return it == plugs.end() ? path : it->second;
        };
        // The model's verdict on each first; then the factory's database is
        // asked for all the products taken at once, and each starts as soon
        // as its own answer comes: the last waits for no other's.
        struct Arrival {
            std::size_t id;
            ArrivalVerdict verdict;
            std::string plug;
            FoundProduct* product;
        };
        std::vector<Arrival> arrivals;
        for (FoundProduct& product : change.arrived) {
            const std::string plug = plugOf(product.path);
            const auto [id, verdict] = model.Arrive(product.path, plug, product.identity, present);
            arrivals.push_back({id, verdict, plug, &product});
        }
        const auto settle = [&](const Arrival& arrival) {
            if (arrival.verdict == ArrivalVerdict::Start) {
                launch(arrival.id, std::move(*arrival.product));
            } else if (arrival.verdict == ArrivalVerdict::Queue) {
                queuedPlugs[arrival.id] = arrival.plug;
                queued.emplace(arrival.id, std::move(*arrival.product));
            }
        };
        const auto answered = [&](const Arrival& arrival, const FactoryAnswer& answer) {
            const std::size_t id = arrival.id;
            const std::string& serial = arrival.product->identity.serial;
            if (model.Stopping() == StopReason::DbUnreachable) {  // another of these stopped the station
                if (answer.kind == FactoryAnswer::Kind::Take)
                    factory->Release(serial);
                return model.LetGoAs(id, StationEvent::Kind::NotTaken, "");
            }
            if (answer.kind == FactoryAnswer::Kind::Recorded || answer.kind == FactoryAnswer::Kind::Claimed)
                return model.LetGoAs(id, answer.kind == FactoryAnswer::Kind::Recorded ? StationEvent::Kind::Recorded
                                                                                      : StationEvent::Kind::Claimed,
                                     answer.station);
            if (answer.kind == FactoryAnswer::Kind::Unreachable && options.stopWhenDbUnreachable) {
                model.PackageMessage("Error", "The factory database cannot be asked whether serial " + serial +
                                                  " was upgraded: " + answer.why);
                model.Stop(StopReason::DbUnreachable);
                return model.LetGoAs(id, StationEvent::Kind::NotTaken, "");
            }
            if (answer.kind == FactoryAnswer::Kind::Unreachable && !toldOwnRecord) {
                toldOwnRecord = true;
                model.PackageMessage("Warning", "The factory database cannot be asked whether a product was "
                                                "upgraded at another station (" + answer.why +
                                                "): this station goes by its own record alone until it answers.");
            }
            if (answer.kind == FactoryAnswer::Kind::Take)
                toldOwnRecord = false;  // told again if it goes away again
            settle(arrival);
        };
        std::vector<const Arrival*> asking;
        for (const Arrival& arrival : arrivals) {
            const bool taken = arrival.verdict == ArrivalVerdict::Start || arrival.verdict == ArrivalVerdict::Queue;
            if (taken && factory && !arrival.product->identity.serial.empty())
                asking.push_back(&arrival);
            else
                settle(arrival);
        }
        if (!asking.empty()) {
            std::vector<std::string> serials;
            serials.reserve(asking.size());
            for (const Arrival* arrival : asking)
                serials.push_back(arrival->product->identity.serial);
            factory->TakeAll(serials, [&](std::size_t i, const FactoryAnswer& answer) { answered(*asking[i], answer); });
        }
        for (auto it = queued.begin(); it != queued.end();) {
            if (present.count(queuedPlugs[it->first])) {
                ++it;
                continue;
            }
            model.Left(it->first);
            queuedPlugs.erase(it->first);
            it = queued.erase(it);
        }
        while (const auto next = model.NextFromQueue()) {
            launch(*next, std::move(queued.at(*next)));
            queued.erase(*next);
            queuedPlugs.erase(*next);
        }
        reap(false);
        model.Expire();
    };
    while (lookAtLimits())
        look();
    for (auto& [id, product] : queued) {
        product.device.reset();
        if (model.Stopping() == StopReason::Interrupted)
            model.Message(id, "Interrupted", "The station stopped before its turn; nothing was sent.",
                          MessageStyle::Exclamation);
        model.Drop(id);
    }
    queued.clear();
    reap(true);  // after Ctrl-C each stops at its next report
    // A line that stopped itself still sees its upgraded products come back.
    while (model.Verifying() > 0 && !stop.load() && !stop_.load())
        look();
    model.EndVerifications();
    if (feed) {  // a few seconds for the lines waiting; the summary tells how many still wait
        writer.WaitRecorded();  // the last products' lines may still be on their way to the file
        const RecordFeedStatus sent = feed->WaitSent(kFeedSendsAtStop);
        model.RecordDb(sent.state, sent.waiting, sent.why);
    }
    const bool failed = writer.OutputFailed() || writer.RecordFailed();
    const bool interrupted = model.Stopping() == StopReason::Interrupted;
    // A station that stopped for want of the factory's database ended no
    // product badly, yet did not do its work: never told a success.
    const bool dbUnreachable = model.Stopping() == StopReason::DbUnreachable;
    Outcome end = model.Summary(failed          ? Outcome::OutputFailed
                                : interrupted   ? Outcome::Interrupted
                                : dbUnreachable ? Outcome::Failed
                                                : Outcome::Upgraded);
    writer.Close();
    if (feed) {  // the stop line, if the database answers
        if (const std::uint64_t waiting = feed->Finish(kFeedSendsStopLine))
            out.Warn(std::to_string(waiting) + " record lines wait for the factory database; they are sent when the "
                     "station starts again with the record " + *options.record + ".");
    }
    {
        const std::lock_guard lock(mutex_);
        web_ = nullptr;
    }
    page.reset();  // the browsers have been told the station stopped
    if (writer.OutputFailed() || writer.RecordFailed())
        end = Outcome::OutputFailed;  // whatever the products' ends: the line's history is incomplete
    return end;
}
