#include "station/station_model.h"

#include "station/event_fanout.h"
#include "station/record_line.h"
#include "device/product_return.h"
#include "device/usb_release.h"

#include <algorithm>
#include <cstdio>

using Kind = StationEvent::Kind;
using SystemClock = std::chrono::system_clock;

StationModel::StationModel(StationPolicy policy, EventFanout& writer, const RecordHeader& header,
                           std::size_t recordsShown)
    : policy_(std::move(policy)), writer_(writer), package_(header.package), board_(header, recordsShown) {}

namespace {

// How to grant access to a product whose node may not be opened.
std::string DeniedHint(std::uint16_t vendorId, std::uint16_t productId) {
#ifdef _WIN32
    (void)vendorId;
    (void)productId;
    return "Another program holds it, or access to it was refused.";
#else
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04x %04x", vendorId, productId);
    const std::string ids = hex;
    return "Access to it was denied. Grant it with: sudo /usr/share/quorvella-upgrade-utility/install-udev-rule.sh " +
           ids + " (or scripts/install-udev-rule.sh " + ids +
           " from the source tree), then plug it in again; a station run as a service needs a rule for its own "
           "user (see \"A station as a service\" in docs/station.md). `qefftool doctor PACKAGE --user NAME` "
           "tells what stands in the way and how to mend it.";
#endif
}

// An event of `kind`, stamped with the time it happened.
StationEvent Stamped(Kind kind, const StationProduct& product = {}) {
    StationEvent event;
    event.kind = kind;
    event.time = SystemClock::now();
    event.product = product;
    return event;
}

}  // namespace

void StationModel::Post(Kind kind, const StationProduct& product, std::string text, std::string by) {
    StationEvent event = Stamped(kind, product);
    event.package = package_;
    event.text = std::move(text);
    event.by = std::move(by);
    event.vendorId = package_.vendorId;
    event.productId = package_.productId;
    Post(std::move(event));
}

// The station's state is the model's alone: every event carries it, and the
// board, the page and the API show it as it was told.
StationState StationModel::State() const {
    const std::lock_guard lock(mutex_);
    return StateLocked();
}

StationState StationModel::StateLocked() const {
    if (ended_)
        return StationState::Stopped;
    if (policy_.Stopping() != StopReason::None)
        return StationState::Stopping;
    if (!watching_)
        return StationState::Starting;
    return policy_.Paused() ? StationState::Paused : StationState::Watching;
}

void StationModel::Post(StationEvent event) {
    event.state = StateLocked();
    board_.Take(event);
    writer_.Post(std::move(event));
}

void StationModel::Package() {
    const std::lock_guard lock(mutex_);
    Post(Kind::Package, {});
}

void StationModel::Watching() {
    const std::lock_guard lock(mutex_);
    watching_ = true;
    Post(Kind::Watching, {});
}

void StationModel::Denied(const std::string& path) {
    const std::lock_guard lock(mutex_);
    StationProduct product;
    product.path = path;
    Post(Kind::Denied, product, DeniedHint(package_.vendorId, package_.productId));
}

std::pair<std::size_t, ArrivalVerdict> StationModel::Arrive(const std::string& path, const std::string& plug,
                                                            const DeviceIdentity& identity,
                                                            const std::set<std::string>& present) {
    const std::lock_guard lock(mutex_);
    StationProduct product;
    product.id = nextId_++;
    product.path = path;
    product.identity = identity;
    std::set<std::size_t> stillPresent;
    for (auto it = upgradedPlugs_.begin(); it != upgradedPlugs_.end();) {
        if (!present.count(it->second)) {  // unplugged: never present again, as every plug is new
            it = upgradedPlugs_.erase(it);
            continue;
        }
        if (it->second != plug)
            stillPresent.insert(it->first);
        ++it;
    }
    const auto now = std::chrono::steady_clock::now();
    if (const auto awaited = policy_.Awaited(identity, now, stillPresent)) {
        // Back after its upgrade: not upgraded again, its release tells whether the new firmware runs.
        Post(Kind::Arrived, product);
        Post(Kind::Returned, product);
        const ReturnVerdict verdict = JudgeReturn(identity.release, *policy_.Limits().expectRelease);
        EndVerification(*awaited, verdict.outcome, verdict.text, identity.release);
        return {product.id, ArrivalVerdict::Returned};
    }
    const ArrivalVerdict verdict = policy_.Arrive(product.id, identity, now, stillPresent);
    product.duplicateSerial = policy_.DuplicateSerial(product.id);
    Post(Kind::Arrived, product);
    switch (verdict) {
    case ArrivalVerdict::Start:
        products_[product.id] = product;
        plugs_[product.id] = plug;
        break;
    case ArrivalVerdict::Queue:
        products_[product.id] = product;
        plugs_[product.id] = plug;
        Post(Kind::Queued, product);
        break;
    case ArrivalVerdict::Returned: Post(Kind::Returned, product); break;
    case ArrivalVerdict::Recorded: Post(Kind::Recorded, product); break;
    case ArrivalVerdict::NotTaken: Post(Kind::NotTaken, product); break;
    }
    for (auto& [id, other] : products_)  // a twin told now is told on its own lines from now on
        other.duplicateSerial = policy_.DuplicateSerial(id);
    return {product.id, verdict};
}

std::optional<std::size_t> StationModel::NextFromQueue() {
    const std::lock_guard lock(mutex_);
    return policy_.NextFromQueue();
}

void StationModel::Left(std::size_t id) {
    const std::lock_guard lock(mutex_);
    LetGo(id, Kind::Left);
}

void StationModel::LetGoAs(std::size_t id, Kind told, const std::string& station) {
    const std::lock_guard lock(mutex_);
    LetGo(id, told, std::string(station));
}

void StationModel::LetGo(std::size_t id, Kind told, std::string text) {
    policy_.Leave(id);
    const auto it = products_.find(id);
    if (it == products_.end())
        return;
    Post(told, it->second, std::move(text));
    products_.erase(it);
    plugs_.erase(id);
}

void StationModel::Begin(std::size_t id) {
    const std::lock_guard lock(mutex_);
    StationProduct& product = products_[id];
    product.attempt = ++attempts_;
    product.tries = policy_.Begin(id);
    product.startedAt = SystemClock::now();
    product.began = std::chrono::steady_clock::now();
    Post(Kind::Started, product);
}

void StationModel::Progress(std::size_t id, int percent, std::uint64_t sent, std::uint64_t total) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Stamped(Kind::Progress, products_[id]);
    event.percent = percent;
    event.sent = sent;
    event.total = total;
    Post(std::move(event));
}

void StationModel::Message(std::size_t id, const std::string& caption, const std::string& text, MessageStyle style) {
    const std::lock_guard lock(mutex_);
    StationProduct& product = products_[id];
    product.message = text;
    PostMessage(product, caption, text, style);
}

void StationModel::PackageMessage(const std::string& caption, const std::string& text) {
    const std::lock_guard lock(mutex_);
    PostMessage({}, caption, text);
}

void StationModel::PostMessage(const StationProduct& product, const std::string& caption, const std::string& text,
                               MessageStyle style) {
    StationEvent event = Stamped(Kind::Message, product);
    event.caption = caption;
    event.text = text;
    event.style = style;
    Post(std::move(event));
}

void StationModel::Finish(std::size_t id, Outcome outcome, const std::optional<TransferResult>& result) {
    const std::lock_guard lock(mutex_);
    StationProduct product = products_[id];
    products_.erase(id);
    // How long it took by the steady clock: a step of the wall clock meanwhile changes no duration.
    if (product.startedAt == SystemClock::time_point{})
        product.startedAt = product.endedAt = SystemClock::now();
    else
        product.endedAt = product.startedAt + std::chrono::duration_cast<SystemClock::duration>(
                                                  std::chrono::steady_clock::now() - product.began);
    product.outcome = outcome;
    if (result) {
        product.bytesSent = result->payloadSent;
        if (result->outcome == TransferOutcome::Refused)
            product.ackCode = result->ackCode;
    }
    const bool upgraded = outcome == Outcome::Upgraded;
    if (upgraded)
        upgradedPlugs_[id] = plugs_[id];
    plugs_.erase(id);
    const StopReason before = policy_.Stopping();
    policy_.Finish(id, upgraded, std::chrono::steady_clock::now());
    if (const auto expected = policy_.Limits().expectRelease; upgraded && expected) {
        products_[id] = product;
        Post(Kind::Verifying, product,
             "waits up to " + SecondsText(policy_.Limits().verifyWithin) + " s for it to come back with release " +
                 ReleaseText(*expected));
        return;
    }
    Done(product, before);
}

void StationModel::Done(const StationProduct& product, StopReason before) {
    Post(Kind::Done, product);
    if (before == StopReason::None && policy_.Stopping() != StopReason::None)
        Post(Kind::Stopping, {}, StopText(policy_.Stopping()));
}

void StationModel::EndVerification(std::size_t id, Outcome outcome, const std::string& text,
                                   std::optional<std::uint16_t> releaseAfter) {
    const auto it = products_.find(id);
    if (it == products_.end())
        return;
    StationProduct product = it->second;
    products_.erase(it);
    product.outcome = outcome;
    product.verified = outcome == Outcome::Verified;
    product.releaseAfter = releaseAfter;
    if (!text.empty()) {
        product.message = text;
        PostMessage(product, outcome == Outcome::Interrupted ? "Interrupted" : "Not verified", text,
                    MessageStyle::Exclamation);
    }
    const StopReason before = policy_.Stopping();
    policy_.Verified(id, outcome == Outcome::Verified);
    Done(product, before);
}

void StationModel::Expire() {
    const std::lock_guard lock(mutex_);
    for (const std::size_t id : policy_.Overdue(std::chrono::steady_clock::now()))
        EndVerification(id, Outcome::NotReturned, NotReturnedText(policy_.Limits().verifyWithin));
}

void StationModel::EndVerifications() {
    const std::lock_guard lock(mutex_);
    for (const std::size_t id : policy_.Overdue(StationPolicy::Time::max()))
        EndVerification(id, Outcome::Interrupted,
                        "The station stopped before it came back: the new firmware was not seen running.");
}

std::size_t StationModel::Verifying() const {
    const std::lock_guard lock(mutex_);
    return policy_.Verifying();
}

void StationModel::Drop(std::size_t id) {
    {
        const std::lock_guard lock(mutex_);
        if (policy_.Stopping() != StopReason::Interrupted) {
            // The line stopped itself (its count, its failures in a row):
            // this one was never tried, and is told so; it is no outcome.
            LetGo(id, Kind::NotTaken);
            return;
        }
        policy_.Leave(id);
    }
    Finish(id, Outcome::Interrupted, std::nullopt);  // under Ctrl-C: interrupted before its turn
}

void StationModel::Stop(StopReason reason, const std::string& by) {
    const std::lock_guard lock(mutex_);
    if (policy_.Stopping() != StopReason::None)
        return;
    policy_.Stop(reason);
    Post(Kind::Stopping, {}, StopText(reason), by);
}

std::string StationModel::StopText(StopReason reason) const {
    const std::string finish = ": the station takes no new product, the running ones finish.";
    switch (reason) {
    case StopReason::None: break;
    case StopReason::Interrupted:
        return "asked to stop (Ctrl-C, a signal or the page): the running upgrades stop at their next report.";
    case StopReason::Count: return std::to_string(policy_.Upgraded()) + " products were upgraded, as many as asked for" + finish;
    case StopReason::Failures:
        return std::to_string(policy_.FailuresInARow()) + " products in a row were not upgraded" + finish;
    case StopReason::OutputFailed: return "the output cannot be written" + finish;
    case StopReason::RecordFailed: return "the record cannot be written" + finish;
    case StopReason::DbUnreachable:
        return "the factory database cannot be asked whether a product was upgraded (--db-unreachable stop)" + finish;
    }
    return {};
}

bool StationModel::Pause(bool paused, const std::string& by) {
    const std::lock_guard lock(mutex_);
    if (policy_.Paused() == paused || policy_.Stopping() != StopReason::None)
        return false;  // a station that stops takes no new product either way
    policy_.Pause(paused);
    Post(paused ? Kind::Paused : Kind::Resumed, {}, {}, by);
    return true;
}

void StationModel::Serving(const std::string& url, const std::string& link) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Stamped(Kind::Serving);
    event.text = url;
    event.caption = link;
    Post(std::move(event));
}

void StationModel::RecordDb(const std::string& state, std::uint64_t waiting, const std::string& why) {
    const std::lock_guard lock(mutex_);
    recordDbWaiting_ = waiting;
    StationEvent event = Stamped(Kind::RecordDb);
    event.text = state;
    event.caption = why;
    event.recordDbWaiting = waiting;
    Post(std::move(event));
}

StopReason StationModel::Stopping() const {
    const std::lock_guard lock(mutex_);
    return policy_.Stopping();
}

std::size_t StationModel::Running() const {
    const std::lock_guard lock(mutex_);
    return policy_.Running();
}

Outcome StationModel::Summary(Outcome atLeast) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Stamped(Kind::Summary);
    event.package = package_;
    event.outcomes = board_.Outcomes();
    event.end = atLeast;
    event.recordDbWaiting = recordDbWaiting_;
    // A record or output that could not be written outranks every product's
    // end: the line's history is what it then lacks.
    if (atLeast != Outcome::OutputFailed)
        for (const auto& [outcome, count] : event.outcomes)
            event.end = Worse(event.end, outcome);
    const Outcome end = event.end;
    ended_ = true;
    Post(std::move(event));
    return end;
}
