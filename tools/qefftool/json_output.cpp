#include "qefftool/json_output.h"

#include "station/event_json.h"
#include "station/station_event.h"

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;

namespace {

// An event the station also tells: written by the station's own lines, so
// that the two commands cannot drift apart.
StationEvent Told(Kind kind, const std::string& path = {}) {
    StationEvent event;
    event.kind = kind;
    event.time = std::chrono::system_clock::now();
    event.product.path = path;
    return event;
}

// The upgrade's own events, stamped as the station's lines are.
std::string Own(json object) {
    object["time"] = IsoUtc(std::chrono::system_clock::now());
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void JsonOutput::Write(const std::string& line) { out_ << line << "\n" << std::flush; }

void JsonOutput::Package(const PackageSummary& p) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Told(Kind::Package);
    event.package = p;
    Write(StationEventJson(event));
}

void JsonOutput::Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) {
    const std::lock_guard lock(mutex_);
    Write(Own({{"event", "found"}, {"path", path}, {"index", index}, {"serial", identity.serial},
               {"location", identity.location}}));
}

void JsonOutput::Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) {
    const std::lock_guard lock(mutex_);
    Write(Own({{"event", "plan"},
               {"path", path},
               {"outputReportLength", lengths.OutputReportByteLength},
               {"inputReportLength", lengths.InputReportByteLength},
               {"reports", plan.reports},
               {"reportBytes", plan.reportBytes},
               {"blocks", plan.blocks},
               {"acknowledgements", plan.blocks}}));
}

void JsonOutput::Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) {
    const std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    auto& last = lastProgress_[path];
    if (sent < total && last.time_since_epoch().count() != 0 && now - last < std::chrono::milliseconds(100))
        return;
    last = now;
    Write(Own({{"event", "progress"}, {"path", path}, {"sent", sent}, {"total", total},
               {"percent", total ? sent * 100 / total : 100}}));
}

void JsonOutput::Message(const std::string& path, const std::string& caption, const std::string& text,
                         MessageStyle style) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Told(Kind::Message, path);
    event.caption = caption;
    event.text = text;
    event.style = style;
    Write(StationEventJson(event));
}

void JsonOutput::Result(const UpgradeEnd& end) {
    const std::lock_guard lock(mutex_);
    // `result`, kept for the scripts written before `done`.
    Write(Own({{"event", "result"}, {"path", end.path}, {"exitCode", OutcomeNumber(end.outcome)},
               {"success", Succeeded(end.outcome)}}));
    StationEvent done = Told(Kind::Done, end.path);
    StationProduct& p = done.product;
    p.identity = end.identity;
    p.outcome = end.outcome;
    p.endedAt = done.time;
    p.startedAt = done.time - end.took;
    p.bytesSent = end.bytesSent;
    p.ackCode = end.ackCode;
    p.verified = end.verified;
    p.releaseAfter = end.releaseAfter;
    Write(StationEventJson(done));
}

void JsonOutput::Summary(const std::map<Outcome, int>& outcomes, Outcome end) {
    const std::lock_guard lock(mutex_);
    StationEvent event = Told(Kind::Summary);
    event.outcomes = outcomes;
    event.end = end;
    Write(StationEventJson(event));
}
