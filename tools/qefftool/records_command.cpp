#include "qefftool/records_command.h"

#include "qefftool/exit_codes.h"
#include "qefftool/visible_text.h"
#include "station/record_rows_of_file.h"
#include "station/station_event.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// The line as the station wrote it, or its columns where it is no JSON (a line torn by a crash).
json RowJson(const RecordRow& row) {
    json parsed = json::parse(row.line, nullptr, false);
    if (parsed.is_object())
        return parsed;
    return {{"time", IsoUtc(std::chrono::system_clock::time_point(row.recordedAt))},
            {"station", row.station},
            {"serial", row.serial ? json(*row.serial) : json(nullptr)},
            {"outcome", row.outcome ? json(*row.outcome) : json(nullptr)},
            {"sha256", row.packageSha256},
            {"line", row.line}};
}

}  // namespace

std::optional<DbTime> ParseSince(const std::string& text) {
    if (text.size() == 10)  // a day
        return ParseIsoUtc(text + "T00:00:00.000Z");
    if (text.size() == 20 && text.ends_with('Z'))  // to the second
        return ParseIsoUtc(text.substr(0, 19) + ".000Z");
    return ParseIsoUtc(text);
}

int RunRecords(const std::string& connection, const HistoryFilter& filter, bool asJson, std::ostream& out,
               std::ostream& errors) {
    DbResult<OdbcConnection> db = OdbcConnection::Open(connection);
    if (!db) {
        errors << "qefftool: factory database: " << db.Error().Text() << "\n";
        return ExitFailure;
    }
    DbResult<std::vector<RecordRow>> rows = RecordHistory(*db, filter);
    if (!rows) {
        errors << "qefftool: factory database: " << rows.Error().Text() << "\n";
        return ExitFailure;
    }
    for (const RecordRow& row : *rows) {
        if (asJson)
            out << RowJson(row).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
        else
            out << IsoUtc(std::chrono::system_clock::time_point(row.recordedAt)) << "  " << VisibleText(row.station)
                << "  \"" << QuotedText(row.serial.value_or("")) << "\"  " << VisibleText(row.outcome.value_or(""))
                << "  " << VisibleText(row.packageSha256) << "\n";
    }
    return out.good() ? ExitSuccess : ExitOutput;
}
