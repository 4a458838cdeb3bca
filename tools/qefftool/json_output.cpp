#include "qefftool/json_output.h"

#include "station/station_event.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

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

template <class Json>
void JsonOutput::Line(const Json& object) {
    json stamped = object;
    stamped["time"] = IsoUtc(std::chrono::system_clock::now());  // as the station's lines carry it
    out_ << stamped.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
}

void JsonOutput::Package(const PackageSummary& p) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "package"},      {"path", p.path},
              {"productName", p.productName}, {"productCode", p.productCode},
              {"firmwareCode", p.firmwareCode}, {"vendorId", p.vendorId},
              {"productId", p.productId},     {"blockLength", p.blockLength},
              {"payloadSize", p.payloadSize},    {"sha256", p.sha256}});
}

void JsonOutput::Found(const std::string& path, std::size_t index, const DeviceIdentity& identity) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "found"}, {"path", path}, {"index", index}, {"serial", identity.serial},
              {"location", identity.location}});
}

void JsonOutput::Plan(const std::string& path, const ReportLengths& lengths, const TransferPlan& plan) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "plan"},
              {"path", path},
              {"outputReportLength", lengths.OutputReportByteLength},
              {"inputReportLength", lengths.InputReportByteLength},
              {"reports", plan.reports},
              {"reportBytes", plan.reportBytes},
              {"blocks", plan.blocks},
              {"acknowledgements", plan.blocks}});
}

void JsonOutput::Progress(const std::string& path, std::uint64_t sent, std::uint64_t total) {
    const std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    auto& last = lastProgress_[path];
    if (sent < total && last.time_since_epoch().count() != 0 && now - last < std::chrono::milliseconds(100))
        return;
    last = now;
    Line(json{{"event", "progress"}, {"path", path}, {"sent", sent}, {"total", total},
              {"percent", total ? sent * 100 / total : 100}});
}

void JsonOutput::Message(const std::string& path, const std::string& caption, const std::string& text,
                         MessageStyle style) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "message"}, {"path", path}, {"caption", caption}, {"text", text}, {"style", StyleName(style)}});
}

void JsonOutput::Result(const std::string& path, int exitCode) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "result"}, {"path", path}, {"exitCode", exitCode}, {"success", exitCode == 0}});
}

void JsonOutput::Summary(std::size_t products, std::size_t succeeded, int exitCode) {
    const std::lock_guard lock(mutex_);
    Line(json{{"event", "summary"}, {"products", products}, {"succeeded", succeeded}, {"exitCode", exitCode}});
}
