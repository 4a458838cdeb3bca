#include "station/factory/record_rows.h"

namespace {

constexpr const char* kInsertRow =
    "INSERT INTO qeff_record (station, run, line_number, recorded_at, serial, package_sha256, outcome, line)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kFind = "SELECT 1 FROM qeff_record WHERE station = ? AND run = ? AND line_number = ?";
constexpr const char* kLastLine = "SELECT MAX(line_number) FROM qeff_record WHERE station = ? AND run = ?";
// An aggregate, so that every dialect answers with one row, NULL for none. A
// product seen running its new firmware is upgraded too.
constexpr const char* kUpgradedBy = "SELECT MIN(station) FROM qeff_record WHERE serial = ? AND package_sha256 = ?"
                                    " AND outcome IN ('upgraded', 'verified')";
constexpr const char* kRowsOfRun =
    "SELECT station, run, line_number, recorded_at, serial, package_sha256, outcome, line FROM qeff_record"
    " WHERE station = ? AND run = ? ORDER BY line_number";

void BindKey(OdbcStatement& statement, const RecordRow& row) {
    statement.BindText(1, row.station);
    statement.BindText(2, row.run);
    statement.BindInteger(3, row.lineNumber);
}

// Reads the current row's columns, in the order of kRowsOfRun.
DbResult<RecordRow> ReadRow(OdbcStatement& rows) {
    DbResult<std::optional<std::string>> station = rows.Text(1);
    DbResult<std::optional<std::string>> run = rows.Text(2);
    DbResult<std::optional<std::int64_t>> number = rows.Integer(3);
    DbResult<std::optional<DbTime>> time = rows.Time(4);
    DbResult<std::optional<std::string>> serial = rows.Text(5);
    DbResult<std::optional<std::string>> sha256 = rows.Text(6);
    DbResult<std::optional<std::string>> outcome = rows.Text(7);
    DbResult<std::optional<std::string>> line = rows.Bytes(8);
    for (const DbResult<std::optional<std::string>>* text : {&station, &run, &serial, &sha256, &outcome, &line}) {
        if (!*text)
            return text->Error();
    }
    if (!number)
        return number.Error();
    if (!time)
        return time.Error();
    return RecordRow{station->value_or(""), run->value_or(""), number->value_or(0), time->value_or(DbTime{}),
                     *serial, sha256->value_or(""), *outcome, line->value_or("")};
}

}  // namespace

DbResult<RecordRowWriter> RecordRowWriter::Prepare(OdbcConnection& connection) {
    DbResult<OdbcStatement> insert = connection.Prepare(kInsertRow);
    if (!insert)
        return insert.Error();
    DbResult<OdbcStatement> find = connection.Prepare(kFind);
    if (!find)
        return find.Error();
    return RecordRowWriter(std::move(*insert), std::move(*find));
}

DbResult<RowStored> RecordRowWriter::Store(const RecordRow& row) {
    BindKey(insert_, row);
    insert_.BindTime(4, row.recordedAt);
    insert_.BindTextOrNull(5, row.serial);
    insert_.BindText(6, row.packageSha256);
    insert_.BindTextOrNull(7, row.outcome);
    insert_.BindBytes(8, row.line);
    DbStatus error = insert_.Execute();
    if (!error)
        return RowStored::Now;
    // An integrity constraint (class 23): the key's row is there already,
    // or something else is wrong with this row, which is told.
    if (!error->Is("23"))
        return *error;
    BindKey(find_, row);
    if (DbStatus findError = find_.Execute())
        return *findError;
    DbResult<bool> found = find_.Fetch();
    find_.CloseRows();
    if (!found)
        return found.Error();
    if (!*found)
        return *error;
    return RowStored::Already;
}

DbResult<std::int64_t> LastLineOfRun(OdbcConnection& connection, const std::string& station, const std::string& run) {
    DbResult<OdbcStatement> query = connection.Prepare(kLastLine);
    if (!query)
        return query.Error();
    query->BindText(1, station);
    query->BindText(2, run);
    DbResult<bool> row = query->ExecuteToFirstRow();
    if (!row)
        return row.Error();
    if (!*row)
        return std::int64_t{0};
    DbResult<std::optional<std::int64_t>> last = query->Integer(1);
    if (!last)
        return last.Error();
    return last->value_or(0);  // NULL: no row of the run
}

DbResult<UpgradedQuestion> UpgradedQuestion::Prepare(OdbcConnection& connection) {
    DbResult<OdbcStatement> query = connection.Prepare(kUpgradedBy);
    if (!query)
        return query.Error();
    return UpgradedQuestion(std::move(*query));
}

DbResult<std::optional<std::string>> UpgradedQuestion::StationThatUpgraded(const std::string& serial,
                                                                           const std::string& packageSha256) {
    query_.BindText(1, serial);
    query_.BindText(2, packageSha256);
    DbResult<bool> row = query_.ExecuteToFirstRow();
    if (!row)
        return row.Error();
    if (!*row)
        return std::optional<std::string>{};
    DbResult<std::optional<std::string>> station = query_.Text(1);
    query_.CloseRows();
    return station;
}

DbResult<std::optional<std::string>> StationThatUpgraded(OdbcConnection& connection, const std::string& serial,
                                                         const std::string& packageSha256) {
    DbResult<UpgradedQuestion> question = UpgradedQuestion::Prepare(connection);
    if (!question)
        return question.Error();
    return question->StationThatUpgraded(serial, packageSha256);
}

DbResult<std::vector<RecordRow>> RecordRowsOfRun(OdbcConnection& connection, const std::string& station,
                                                 const std::string& run) {
    DbResult<OdbcStatement> query = connection.Prepare(kRowsOfRun);
    if (!query)
        return query.Error();
    query->BindText(1, station);
    query->BindText(2, run);
    if (DbStatus error = query->Execute())
        return *error;
    return ReadRecordRows(*query);
}

DbResult<std::vector<RecordRow>> ReadRecordRows(OdbcStatement& query) {
    std::vector<RecordRow> rows;
    for (;;) {
        DbResult<bool> next = query.Fetch();
        if (!next)
            return next.Error();
        if (!*next)
            return rows;
        DbResult<RecordRow> row = ReadRow(query);
        if (!row)
            return row.Error();
        rows.push_back(std::move(*row));
    }
}
