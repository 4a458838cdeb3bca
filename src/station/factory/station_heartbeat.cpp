#include "station/factory/station_heartbeat.h"

namespace {

constexpr const char* kUpdateHeartbeat =
    "UPDATE qeff_heartbeat SET state = ?, run = ?, package = ?, package_sha256 = ?, firmware_code = ?, page = ?,"
    " status = ?, seen_at = ? WHERE station = ?";
constexpr const char* kInsertHeartbeat =
    "INSERT INTO qeff_heartbeat (state, run, package, package_sha256, firmware_code, page, status, seen_at, station)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kAllHeartbeats =
    "SELECT station, state, run, package, package_sha256, firmware_code, page, status, seen_at"
    " FROM qeff_heartbeat ORDER BY station";

void Bind(OdbcStatement& statement, const StationHeartbeat& beat) {
    std::size_t at = 0;
    for (const std::string* text : {&beat.state, &beat.run, &beat.package, &beat.packageSha256, &beat.firmwareCode,
                                    &beat.page, &beat.status})
        statement.BindText(++at, *text);
    statement.BindTime(++at, beat.seenAt);
    statement.BindText(++at, beat.station);
}

}  // namespace

DbStatus WriteHeartbeat(OdbcConnection& connection, const StationHeartbeat& beat) {
    // An update, else an insert: the statements every dialect has alike. Two
    // stations of one name would share a row, as they share their records.
    DbResult<OdbcStatement> update = connection.Prepare(kUpdateHeartbeat);
    if (!update)
        return update.Error();
    Bind(*update, beat);
    if (DbStatus error = update->Execute())
        return error;
    DbResult<std::int64_t> changed = update->RowsAffected();
    if (!changed)
        return changed.Error();
    if (*changed > 0)
        return std::nullopt;
    DbResult<OdbcStatement> insert = connection.Prepare(kInsertHeartbeat);
    if (!insert)
        return insert.Error();
    Bind(*insert, beat);
    DbStatus error = insert->Execute();
    if (error && error->Is("23"))  // the station's row came meanwhile: the next beat updates it
        return std::nullopt;
    return error;
}

DbResult<std::vector<StationHeartbeat>> ReadHeartbeats(OdbcConnection& connection) {
    DbResult<OdbcStatement> query = connection.Prepare(kAllHeartbeats);
    if (!query)
        return query.Error();
    if (DbStatus error = query->Execute())
        return *error;
    std::vector<StationHeartbeat> beats;
    for (;;) {
        DbResult<bool> next = query->Fetch();
        if (!next)
            return next.Error();
        if (!*next)
            return beats;
        StationHeartbeat beat;
        std::size_t at = 0;
        for (std::string* text : {&beat.station, &beat.state, &beat.run, &beat.package, &beat.packageSha256,
                                  &beat.firmwareCode, &beat.page, &beat.status}) {
            DbResult<std::optional<std::string>> value = query->Text(++at);
            if (!value)
                return value.Error();
            *text = value->value_or("");
        }
        DbResult<std::optional<DbTime>> seen = query->Time(++at);
        if (!seen)
            return seen.Error();
        beat.seenAt = seen->value_or(DbTime{});
        beats.push_back(std::move(beat));
    }
}
