#include "station/factory/record_history.h"

DbResult<std::vector<RecordRow>> RecordHistory(OdbcConnection& connection, const HistoryFilter& filter) {
    // Only the conditions given, each a bound parameter.
    std::string sql = "SELECT station, run, line_number, recorded_at, serial, package_sha256, outcome, line"
                      " FROM qeff_record WHERE outcome IS NOT NULL";
    if (filter.serial)
        sql += " AND serial = ?";
    if (filter.station)
        sql += " AND station = ?";
    if (filter.since)
        sql += " AND recorded_at >= ?";
    sql += " ORDER BY recorded_at, station, run, line_number";
    DbResult<OdbcStatement> query = connection.Prepare(sql);
    if (!query)
        return query.Error();
    std::size_t parameter = 0;
    if (filter.serial)
        query->BindText(++parameter, *filter.serial);
    if (filter.station)
        query->BindText(++parameter, *filter.station);
    if (filter.since)
        query->BindTime(++parameter, *filter.since);
    if (DbStatus error = query->Execute())
        return *error;
    return ReadRecordRows(*query);
}
