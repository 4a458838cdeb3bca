#include "station_record.h"

#include "exit_codes.h"

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;

std::string RecordLine(const StationEvent& e, const RecordHeader& h) {
    json line{{"station", h.station}, {"operator", h.operatorName}, {"time", IsoUtc(e.time)},
              {"package", h.package.path}, {"sha256", h.package.sha256}, {"firmwareCode", h.package.firmwareCode}};
    const StationProduct& p = e.product;
    switch (e.kind) {
    case Kind::Watching: line["record"] = "start"; break;
    case Kind::Summary:
        line["record"] = "stop";
        line["exitCode"] = e.exitCode;
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
                     {"attempt", p.attempt},
                     {"tries", p.tries},
                     {"duplicateSerial", p.duplicateSerial},
                     {"outcome", OutcomeName(p.exitCode)},
                     {"success", p.exitCode == ExitSuccess},
                     {"exitCode", p.exitCode},
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

std::set<std::string> RecordedUpgrades(std::string_view record, const std::string& sha256) {
    std::set<std::string> serials;
    while (!record.empty()) {
        const std::size_t end = record.find('\n');
        const std::string_view text = record.substr(0, end);
        record.remove_prefix(end == std::string_view::npos ? record.size() : end + 1);
        const json line = json::parse(text, nullptr, false);  // no exceptions: a torn line is discarded
        if (!line.is_object())
            continue;
        const auto field = [&](const char* name) -> const json* {
            const auto it = line.find(name);
            return it != line.end() ? &*it : nullptr;
        };
        const json *kind = field("record"), *sha = field("sha256"), *success = field("success"), *serial = field("serial");
        if (kind && *kind == "product" && sha && *sha == sha256 && success && *success == true && serial &&
            serial->is_string() && !serial->get_ref<const std::string&>().empty())
            serials.insert(serial->get<std::string>());
    }
    return serials;
}
