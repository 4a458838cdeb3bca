#include "station_output.h"

#include "exit_codes.h"
#include "visible_text.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

using nlohmann::json;
using Kind = StationEvent::Kind;

namespace {

std::string Hex(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

double Seconds(const StationProduct& p) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(p.endedAt - p.startedAt).count()) /
           1000.0;
}

std::string Named(const StationProduct& p) {
    std::string named = VisibleText(p.path);
    if (!p.identity.serial.empty())
        named += " serial \"" + QuotedText(p.identity.serial) + "\"";
    if (!p.identity.location.empty())
        named += " at \"" + QuotedText(p.identity.location) + "\"";
    return named;
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
    }
    return "message";
}

}  // namespace

std::string DeniedHint(std::uint16_t vendorId, std::uint16_t productId) {
#ifdef _WIN32
    (void)vendorId;
    (void)productId;
    return "Another program holds it, or access to it was refused.";
#else
    const std::string ids = Hex(vendorId) + " " + Hex(productId);
    return "Access to it was denied. Grant it with: sudo /usr/share/quorvella-upgrade-utility/install-udev-rule.sh " +
           ids + " (or scripts/install-udev-rule.sh " + ids +
           " from the source tree), then plug it in again; a station run as a service needs a rule for its own "
           "user (see the README's \"A station as a service\").";
#endif
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
        break;
    }
    case Kind::Watching: line.update({{"vendorId", e.vendorId}, {"productId", e.productId}}); break;
    case Kind::Denied: line.update({{"path", p.path}, {"text", e.text}}); break;
    case Kind::Recorded: line["recorded"] = true; [[fallthrough]];
    case Kind::Arrived:
    case Kind::Queued:
    case Kind::Returned:
    case Kind::NotTaken:
    case Kind::Left:
    case Kind::Started: product(); break;
    case Kind::Progress:
        product();
        line["percent"] = e.percent;
        break;
    case Kind::Message:
        line.update({{"path", p.path}, {"caption", e.caption}, {"text", e.text}});
        if (p.attempt)
            line["attempt"] = p.attempt;
        break;
    case Kind::Stopping: line["reason"] = e.text; break;
    case Kind::Serving: line.update({{"url", e.text}, {"link", e.caption}}); break;
    case Kind::Paused:
    case Kind::Resumed: break;
    case Kind::Done:
        product();
        line.update({{"exitCode", p.exitCode}, {"success", p.exitCode == ExitSuccess}, {"outcome", OutcomeName(p.exitCode)},
                     {"seconds", Seconds(p)}, {"bytesSent", p.bytesSent}});
        if (p.ackCode)
            line["ackCode"] = *p.ackCode;
        break;
    case Kind::Summary: {
        int products = 0;
        json counts = json::object();
        for (const auto& [code, count] : e.outcomes) {
            products += count;
            counts[OutcomeName(code)] = count;
        }
        line.update({{"products", products}, {"outcomes", counts}, {"exitCode", e.exitCode}});
        break;
    }
    }
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string StationOutput::TextLine(const StationEvent& e) const {
    const StationProduct& p = e.product;
    switch (e.kind) {
    case Kind::Package: {
        const PackageSummary& s = e.package;
        return VisibleText(s.path) + ": \"" + QuotedText(s.productName) + "\" (product code " +
               VisibleText(s.productCode) + ", firmware code " + VisibleText(s.firmwareCode) + "), sha256 " + s.sha256;
    }
    case Kind::Watching: return "waiting for " + Hex(e.vendorId) + ":" + Hex(e.productId) + " products (Ctrl-C ends)";
    case Kind::Denied: return "denied " + VisibleText(p.path) + ": " + VisibleText(e.text);
    case Kind::Arrived: return "arrived " + Named(p) + (p.duplicateSerial ? " (its serial number is on another product too)" : "");
    case Kind::Queued: return "queued " + Named(p) + ": waits for its turn";
    case Kind::Returned: return "returned " + Named(p) + ": upgraded before, not again";
    case Kind::Recorded: return "returned " + Named(p) + ": upgraded with this package before, says the record";
    case Kind::NotTaken: return "not taken " + Named(p) + ": the station is stopping";
    case Kind::Left: return "left " + Named(p) + " while it waited; not upgraded";
    case Kind::Started: return "started " + Named(p) + ": attempt " + std::to_string(p.attempt);
    case Kind::Progress: return VisibleText(p.path) + ": " + std::to_string(e.percent) + "%";
    case Kind::Message: {
        std::string shown = e.text;
        std::replace(shown.begin(), shown.end(), '\n', ' ');  // one line a message
        return (p.path.empty() ? "" : VisibleText(p.path) + ": ") + e.caption + ": " + VisibleText(shown);
    }
    case Kind::Stopping: return "stopping: " + e.text;
    case Kind::Serving:
        return "serving the station's page at " + e.text + (e.caption == e.text ? "" : " (open it with " + e.caption + ")");
    case Kind::Paused: return "paused: no new product is taken; the running ones finish";
    case Kind::Resumed: return "resumed";
    case Kind::Done: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", Seconds(p));
        return "done " + Named(p) + ": " + OutcomeName(p.exitCode) +
               (p.exitCode == ExitSuccess ? "" : " (exit code " + std::to_string(p.exitCode) + ")") + " in " + seconds +
               " s, attempt " + std::to_string(p.attempt) +
               (p.duplicateSerial ? ", its serial number was on another product too" : "");
    }
    case Kind::Summary: {
        int products = 0;
        std::string text;
        for (const auto& [code, count] : e.outcomes) {
            products += count;
            text += (text.empty() ? ": " : ", ") + std::to_string(count) + " " + OutcomeName(code);
        }
        return std::to_string(products) + (products == 1 ? " product" : " products") + text;
    }
    }
    return {};
}

bool StationOutput::Write(const StationEvent& event) {
    out_ << (json_ ? StationEventJson(event) : TextLine(event)) << '\n' << std::flush;
    return out_.good();
}
