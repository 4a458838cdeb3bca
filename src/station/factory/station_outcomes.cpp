#include "station/factory/station_outcomes.h"

DbResult<std::vector<OutcomeCount>> CountOutcomesSince(OdbcConnection& connection, DbTime since) {
    DbResult<OdbcStatement> query = connection.Prepare(
        "SELECT station, outcome, COUNT(*) FROM qeff_record WHERE outcome IS NOT NULL AND recorded_at >= ?"
        " GROUP BY station, outcome");
    if (!query)
        return query.Error();
    query->BindTime(1, since);
    if (DbStatus error = query->Execute())
        return *error;
    std::vector<OutcomeCount> counts;
    for (;;) {
        DbResult<bool> next = query->Fetch();
        if (!next)
            return next.Error();
        if (!*next)
            return counts;
        OutcomeCount count;
        DbResult<std::optional<std::string>> station = query->Text(1);
        if (!station)
            return station.Error();
        DbResult<std::optional<std::string>> outcome = query->Text(2);
        if (!outcome)
            return outcome.Error();
        DbResult<std::optional<std::int64_t>> number = query->Integer(3);
        if (!number)
            return number.Error();
        counts.push_back({station->value_or(""), outcome->value_or(""), number->value_or(0)});
    }
}

DbResult<std::vector<RecordRow>> LastFailures(OdbcConnection& connection, const std::vector<std::string>& notFailures,
                                              std::int64_t perStation, DbTime since) {
    // A window function, which PostgreSQL and SQL Server both have, numbers
    // each station's failures newest first: one query for every station.
    std::string excluded;
    for (std::size_t i = 0; i < notFailures.size(); ++i)
        excluded += i == 0 ? "?" : ", ?";
    const std::string columns = "station, run, line_number, recorded_at, serial, package_sha256, outcome, line";
    DbResult<OdbcStatement> query = connection.Prepare(
        "SELECT " + columns + " FROM (SELECT " + columns +
        ", ROW_NUMBER() OVER (PARTITION BY station ORDER BY recorded_at DESC, run DESC, line_number DESC) AS newest"
        " FROM qeff_record WHERE recorded_at >= ? AND outcome IS NOT NULL" +
        (excluded.empty() ? std::string() : " AND outcome NOT IN (" + excluded + ")") +
        ") failed WHERE newest <= ? ORDER BY station, newest");
    if (!query)
        return query.Error();
    std::size_t parameter = 0;
    query->BindTime(++parameter, since);
    for (const std::string& outcome : notFailures)
        query->BindText(++parameter, outcome);
    query->BindInteger(++parameter, perStation);
    if (DbStatus error = query->Execute())
        return *error;
    return ReadRecordRows(*query);
}
