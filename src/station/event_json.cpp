#include "station/event_json.h"

#include "device/usb_release.h"

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;

namespace {

double Seconds(const StationProduct& p) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(p.endedAt - p.startedAt).count()) /
           1000.0;
}

const char* EventName(Kind kind) {
    switch (kind) {
    case Kind::Package: return "package";
    case Kind::Watching: return "watching";
    case Kind::Denied: return "denied";
    case Kind::Arrived: return "arrived";
    case Kind::Queued: return "queued";
    case Kind::Returned:
    case Kind::Recorded: return "returned";
    case Kind::NotTaken: return "notTaken";
    case Kind::Left: return "left";
    case Kind::Started: return "started";
    case Kind::Progress: return "progress";
    case Kind::Message: return "message";
    case Kind::Stopping: return "stopping";
    case Kind::Done: return "done";
    case Kind::Summary: return "summary";
    case Kind::Serving: return "serving";
    case Kind::Paused: return "paused";
    case Kind::Resumed: return "resumed";
    case Kind::Verifying: return "verifying";
    case Kind::RecordDb: return "recordDb";
    case Kind::Claimed: return "claimed";
    }
    return "message";
}

const char* StyleName(MessageStyle style) {
    switch (style) {
    case MessageStyle::Exclamation: return "exclamation";
    case MessageStyle::Information: return "information";
    case MessageStyle::Error: return "error";
    case MessageStyle::Plain: break;
    }
    return "plain";
}

}  // namespace

nlohmann::json ReleaseJson(const std::optional<std::uint16_t>& release) {
    return release ? nlohmann::json(ReleaseText(*release)) : nlohmann::json(nullptr);
}

std::string StationEventJson(const StationEvent& e) {
    json line{{"event", EventName(e.kind)}, {"time", IsoUtc(e.time)}};
    const StationProduct& p = e.product;
    const auto product = [&] {
        line["path"] = p.path;
        line["serial"] = p.identity.serial;
        line["location"] = p.identity.location;
        if (p.attempt) {
            line["attempt"] = p.attempt;
            line["tries"] = p.tries;
        }
        if (p.duplicateSerial)
            line["duplicateSerial"] = true;
    };
    switch (e.kind) {
    case Kind::Package: {
        const PackageSummary& s = e.package;
        line.update({{"path", s.path}, {"productName", s.productName}, {"productCode", s.productCode},
                     {"firmwareCode", s.firmwareCode}, {"vendorId", s.vendorId}, {"productId", s.productId},
                     {"blockLength", s.blockLength}, {"payloadSize", s.payloadSize}, {"sha256", s.sha256}});
        if (!s.signer.empty())  // only a signature verified against the trust given
            line["signer"] = s.signer;
        break;
    }
    case Kind::Watching: line.update({{"vendorId", e.vendorId}, {"productId", e.productId}}); break;
    case Kind::Denied: line.update({{"path", p.path}, {"text", e.text}}); break;
    case Kind::Claimed: line["station"] = e.text; [[fallthrough]];
    case Kind::Recorded:
        if (e.kind == Kind::Recorded) {
            line["recorded"] = true;
            if (!e.text.empty())  // another station's record, in the factory's database
                line["station"] = e.text;
        }
        [[fallthrough]];
    case Kind::Arrived:
    case Kind::Queued:
    case Kind::Returned:
    case Kind::NotTaken:
    case Kind::Left:
    case Kind::Started: product(); break;
    case Kind::Verifying:
        product();
        line.update({{"releaseBefore", ReleaseJson(p.identity.release)}, {"text", e.text}});
        break;
    case Kind::Progress:
        product();
        line.update({{"percent", e.percent}, {"sent", e.sent}, {"total", e.total}});
        break;
    case Kind::Message:
        line.update({{"path", p.path}, {"caption", e.caption}, {"text", e.text}, {"style", StyleName(e.style)}});
        if (p.attempt)
            line["attempt"] = p.attempt;
        break;
    case Kind::Stopping:
        line["reason"] = e.text;
        line["by"] = e.by;
        break;
    case Kind::Serving: line["url"] = e.text; break;  // never the one-time link: the lines may go to a journal
    case Kind::RecordDb:
        line.update({{"state", e.text}, {"waiting", e.recordDbWaiting.value_or(0)}});
        if (!e.caption.empty())
            line["text"] = e.caption;
        break;
    case Kind::Paused:
    case Kind::Resumed: line["by"] = e.by; break;
    case Kind::Done:
        product();
        line.update({{"exitCode", OutcomeNumber(p.outcome)}, {"success", Succeeded(p.outcome)}, {"outcome", OutcomeName(p.outcome)},
                     {"seconds", Seconds(p)}, {"bytesSent", p.bytesSent}});
        if (p.ackCode)
            line["ackCode"] = *p.ackCode;
        if (p.verified)
            line.update({{"verified", *p.verified}, {"releaseBefore", ReleaseJson(p.identity.release)},
                         {"releaseAfter", ReleaseJson(p.releaseAfter)}});
        break;
    case Kind::Summary: {
        int products = 0;
        json counts = json::object();
        for (const auto& [code, count] : e.outcomes) {
            products += count;
            counts[OutcomeName(code)] = count;
        }
        int succeeded = 0;
        for (const auto& [code, count] : e.outcomes)
            succeeded += Succeeded(code) ? count : 0;
        line.update({{"products", products}, {"outcomes", counts}, {"exitCode", OutcomeNumber(e.end)},
                     {"succeeded", succeeded}});
        if (e.recordDbWaiting)
            line["recordDbWaiting"] = *e.recordDbWaiting;
        break;
    }
    }
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}


std::string StationFoundJson(const StationEvent& e) {
    const StationProduct& p = e.product;
    const json line{{"event", "found"}, {"time", IsoUtc(e.time)}, {"path", p.path},
                    {"serial", p.identity.serial}, {"location", p.identity.location}};
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}
