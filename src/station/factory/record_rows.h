#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One line of a station's record as a row of qeff_record: the line whole, as
// its file holds it, and the few fields that are searched beside it.
struct RecordRow {
    std::string station;
    std::string run;
    std::int64_t lineNumber = 0;
    DbTime recordedAt;
    std::optional<std::string> serial;   // none on start and stop lines
    std::string packageSha256;
    std::optional<std::string> outcome;  // none on start and stop lines
    std::string line;                    // its bytes, any of them, without the newline

    bool operator==(const RecordRow&) const = default;
};

enum class RowStored { Now, Already };

// Stores rows into qeff_record, one statement prepared once for them all. A
// row whose (station, run, line number) is stored already is left as it is,
// so a line sent again after a crash is never stored twice.
class RecordRowWriter {
public:
    static DbResult<RecordRowWriter> Prepare(OdbcConnection& connection);

    DbResult<RowStored> Store(const RecordRow& row);

private:
    RecordRowWriter(OdbcStatement insert, OdbcStatement find)
        : insert_(std::move(insert)), find_(std::move(find)) {}

    OdbcStatement insert_;
    OdbcStatement find_;  // whether a row of the key is there
};

// The highest line number stored of one run of a station; 0 when none is.
DbResult<std::int64_t> LastLineOfRun(OdbcConnection& connection, const std::string& station, const std::string& run);

// A station whose record tells the product with this serial number upgraded
// with the package of this SHA-256; none when no station's does.
DbResult<std::optional<std::string>> StationThatUpgraded(OdbcConnection& connection, const std::string& serial,
                                                         const std::string& packageSha256);

// The same question, prepared once on a connection for the many arrivals that ask it.
class UpgradedQuestion {
public:
    static DbResult<UpgradedQuestion> Prepare(OdbcConnection& connection);
    DbResult<std::optional<std::string>> StationThatUpgraded(const std::string& serial, const std::string& packageSha256);

private:
    explicit UpgradedQuestion(OdbcStatement query) : query_(std::move(query)) {}
    OdbcStatement query_;
};

// Every row a query of the columns in their order (station, run,
// line_number, recorded_at, serial, package_sha256, outcome, line) returns.
DbResult<std::vector<RecordRow>> ReadRecordRows(OdbcStatement& query);

// The rows of one run of a station, in the order of their lines.
DbResult<std::vector<RecordRow>> RecordRowsOfRun(OdbcConnection& connection, const std::string& station,
                                                 const std::string& run);
