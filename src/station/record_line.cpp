#include "station/record_line.h"

#include "station/event_json.h"

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;

std::string RecordLine(const StationEvent& e, const RecordHeader& h) {
    json line{{"station", h.station}, {"operator", h.operatorName}, {"time", IsoUtc(e.time)},
              {"package", h.package.path}, {"sha256", h.package.sha256}, {"firmwareCode", h.package.firmwareCode}};
    if (!h.package.signer.empty())  // only a signature verified against the trust given
        line["signer"] = h.package.signer;
    const StationProduct& p = e.product;
    switch (e.kind) {
    case Kind::Watching: line["record"] = "start"; break;
    case Kind::Summary:
        line["record"] = "stop";
        line["exitCode"] = OutcomeNumber(e.end);
        break;
    case Kind::Done:
        line.update({{"record", "product"},
                     {"start", IsoUtc(p.startedAt)},
                     {"end", IsoUtc(p.endedAt)},
                     {"vendorId", h.package.vendorId},
                     {"productId", h.package.productId},
                     {"path", p.path},
                     {"serial", p.identity.serial},
                     {"location", p.identity.location},
                     {"release", p.identity.release ? json(*p.identity.release) : json(nullptr)},
                     {"releaseBefore", ReleaseJson(p.identity.release)},
                     {"releaseAfter", ReleaseJson(p.releaseAfter)},
                     {"verified", p.verified ? json(*p.verified) : json(nullptr)},
                     {"attempt", p.attempt},
                     {"tries", p.tries},
                     {"duplicateSerial", p.duplicateSerial},
                     {"outcome", OutcomeName(p.outcome)},
                     {"success", Succeeded(p.outcome)},
                     {"exitCode", OutcomeNumber(p.outcome)},
                     {"message", p.message},
                     {"bytesSent", p.bytesSent},
                     {"seconds", static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         p.endedAt - p.startedAt)
                                                         .count()) /
                                     1000.0}});
        if (p.ackCode)
            line["ackCode"] = *p.ackCode;
        break;
    default: return {};
    }
    return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
