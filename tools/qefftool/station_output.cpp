#include "qefftool/station_output.h"

#include "device/usb_release.h"
#include "station/event_json.h"
#include "qefftool/product_ids_text.h"
#include "qefftool/visible_text.h"

#include <algorithm>
#include <cstdio>

using Kind = StationEvent::Kind;

namespace {

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

// " (asked by the page from 127.0.0.1)"; nothing when the station asked itself.
std::string AskedBy(const StationEvent& e) { return e.by.empty() ? std::string() : " (asked by " + e.by + ")"; }

// The feed of the factory's database, as a line.
std::string RecordDbText(const StationEvent& e) {
    const std::string waiting = std::to_string(e.recordDbWaiting.value_or(0)) + " record lines wait";
    if (e.text == "unreachable")
        return "factory database unreachable: " + VisibleText(e.caption) + "; " + waiting +
               ", tried again up to every 10 s; upgrades go on";
    if (e.text == "connected")
        return e.recordDbWaiting.value_or(0) ? "factory database connected: " + waiting + ", sending them"
                                             : "factory database connected: every record line stored";
    return "factory database " + e.text + ": " + waiting;
}

}  // namespace

std::string StationOutput::TextLine(const StationEvent& e) const {
    const StationProduct& p = e.product;
    switch (e.kind) {
    case Kind::Package: {
        const PackageSummary& s = e.package;
        return VisibleText(s.path) + ": \"" + QuotedText(s.productName) + "\" (product code " +
               VisibleText(s.productCode) + ", firmware code " + VisibleText(s.firmwareCode) + "), sha256 " +
               s.sha256 + (s.signer.empty() ? "" : ", signed by \"" + QuotedText(s.signer) + "\"");
    }
    case Kind::Watching: return "waiting for " + ProductIdsText(e.vendorId, e.productId) + " products (Ctrl-C ends)";
    case Kind::Denied: return "denied " + VisibleText(p.path) + ": " + VisibleText(e.text);
    case Kind::Arrived: return "arrived " + Named(p) + (p.duplicateSerial ? " (its serial number is on another product too)" : "");
    case Kind::Queued: return "queued " + Named(p) + ": waits for its turn";
    case Kind::Returned: return "returned " + Named(p) + ": upgraded before, not again";
    case Kind::Recorded:
        return "returned " + Named(p) + ": upgraded with this package before, says " +
               (e.text.empty() ? "the record" : "the factory database (at station \"" + QuotedText(e.text) + "\")");
    case Kind::Claimed:
        return "claimed " + Named(p) + ": station \"" + QuotedText(e.text) + "\" is upgrading it; not here";
    case Kind::NotTaken: return "not taken " + Named(p) + ": the station is stopping";
    case Kind::Left: return "left " + Named(p) + " while it waited; not upgraded";
    case Kind::Started: return "started " + Named(p) + ": attempt " + std::to_string(p.attempt);
    case Kind::Progress: return VisibleText(p.path) + ": " + std::to_string(e.percent) + "%";
    case Kind::Message: {
        std::string shown = e.text;
        std::replace(shown.begin(), shown.end(), '\n', ' ');  // one line a message
        return (p.path.empty() ? "" : VisibleText(p.path) + ": ") + e.caption + ": " + VisibleText(shown);
    }
    case Kind::Stopping: return "stopping: " + e.text + AskedBy(e);
    case Kind::Serving:
        return "serving the station's page at " + e.text;  // its one-time link goes only where its user reads it
    case Kind::Paused: return "paused: no new product is taken; the running ones finish" + AskedBy(e);
    case Kind::Resumed: return "resumed" + AskedBy(e);
    case Kind::Verifying: return "verifying " + Named(p) + ": upgraded; " + e.text;
    case Kind::RecordDb: return RecordDbText(e);
    case Kind::Done: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", Seconds(p));
        return "done " + Named(p) + ": " + OutcomeName(p.outcome) +
               (p.releaseAfter ? " (release " + ReleaseText(*p.releaseAfter) + ")" : "") +
               (Succeeded(p.outcome) ? "" : " (exit code " + std::to_string(OutcomeNumber(p.outcome)) + ")") + " in " + seconds +
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
        return std::to_string(products) + (products == 1 ? " product" : " products") + text +
               (e.recordDbWaiting && *e.recordDbWaiting
                    ? "; " + std::to_string(*e.recordDbWaiting) + " record lines wait for the factory database"
                    : "");
    }
    }
    return {};
}

void StationOutput::Warn(const std::string& text) { errors_ << "qefftool: " << text << "\n" << std::flush; }

bool StationOutput::Write(const StationEvent& event) {
    // A product whose upgrade starts is told found first, as `upgrade --json` tells it.
    if (json_ && event.kind == StationEvent::Kind::Started)
        out_ << StationFoundJson(event) << '\n';
    out_ << (json_ ? StationEventJson(event) : TextLine(event)) << '\n' << std::flush;
    return out_.good();
}
