#include "station_output.h"

#include "exit_codes.h"
#include "visible_text.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

void Line(std::ostream& out, const json& object) {
    out << object.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
}

std::string Hex(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

std::string Seconds(std::chrono::milliseconds took) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(took.count()) / 1000.0);
    return text;
}

}  // namespace

std::string StationOutput::Named(const std::string& path, const DeviceIdentity& identity) const {
    std::string named = VisibleText(path);
    if (!identity.serial.empty())
        named += " serial \"" + VisibleText(identity.serial) + "\"";
    if (!identity.location.empty())
        named += " at \"" + VisibleText(identity.location) + "\"";
    return named;
}

void StationOutput::Package(const PackageSummary& p) {
    const std::lock_guard lock(mutex_);
    if (json_)
        Line(out_, {{"event", "package"}, {"path", p.path}, {"productName", p.productName},
                    {"productCode", p.productCode}, {"firmwareCode", p.firmwareCode}, {"vendorId", p.vendorId},
                    {"productId", p.productId}, {"blockLength", p.blockLength}, {"payloadSize", p.payloadSize},
                    {"sha256", p.sha256}});
    else
        out_ << VisibleText(p.path) << ": \"" << VisibleText(p.productName) << "\" (product code "
             << VisibleText(p.productCode) << ", firmware code " << VisibleText(p.firmwareCode) << "), sha256 "
             << p.sha256 << "\n";
}

void StationOutput::Watching(std::uint16_t vendorId, std::uint16_t productId) {
    const std::lock_guard lock(mutex_);
    if (json_)
        Line(out_, {{"event", "watching"}, {"vendorId", vendorId}, {"productId", productId}});
    else
        out_ << "waiting for " << Hex(vendorId) << ":" << Hex(productId) << " products (Ctrl-C ends)\n" << std::flush;
}

void StationOutput::Arrived(const std::string& path, const DeviceIdentity& identity) {
    const std::lock_guard lock(mutex_);
    if (json_)
        Line(out_, {{"event", "arrived"}, {"path", path}, {"serial", identity.serial}, {"location", identity.location}});
    else
        out_ << "arrived " << Named(path, identity) << "\n" << std::flush;
}

void StationOutput::Progress(const std::string& path, int percent) {
    const std::lock_guard lock(mutex_);
    if (json_)
        Line(out_, {{"event", "progress"}, {"path", path}, {"percent", percent}});
    else
        out_ << VisibleText(path) << ": " << percent << "%\n" << std::flush;
}

void StationOutput::Message(const std::string& path, const std::string& caption, const std::string& text) {
    const std::lock_guard lock(mutex_);
    if (json_) {
        Line(out_, {{"event", "message"}, {"path", path}, {"caption", caption}, {"text", text}});
        return;
    }
    std::string shown = text;
    std::replace(shown.begin(), shown.end(), '\n', ' ');  // one line a message
    out_ << (path.empty() ? "" : VisibleText(path) + ": ") << caption << ": " << VisibleText(shown) << "\n"
         << std::flush;
}

void StationOutput::Done(const std::string& path, const DeviceIdentity& identity, int exitCode,
                         std::chrono::milliseconds took) {
    const std::lock_guard lock(mutex_);
    if (json_)
        Line(out_, {{"event", "done"}, {"path", path}, {"serial", identity.serial}, {"location", identity.location},
                    {"exitCode", exitCode}, {"success", exitCode == ExitSuccess}, {"outcome", OutcomeName(exitCode)},
                    {"seconds", static_cast<double>(took.count()) / 1000.0}});
    else
        out_ << "done " << Named(path, identity) << ": " << OutcomeName(exitCode)
             << (exitCode == ExitSuccess ? "" : " (exit code " + std::to_string(exitCode) + ")") << " in "
             << Seconds(took) << " s\n"
             << std::flush;
}

void StationOutput::Summary(const std::map<int, int>& outcomes, int exitCode) {
    const std::lock_guard lock(mutex_);
    int products = 0;
    json counts = json::object();
    std::string text;
    for (const auto& [code, count] : outcomes) {
        products += count;
        counts[OutcomeName(code)] = count;
        text += (text.empty() ? ": " : ", ") + std::to_string(count) + " " + OutcomeName(code);
    }
    if (json_)
        Line(out_, {{"event", "summary"}, {"products", products}, {"outcomes", counts}, {"exitCode", exitCode}});
    else
        out_ << products << (products == 1 ? " product" : " products") << text << "\n" << std::flush;
}
