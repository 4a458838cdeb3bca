#include "station/factory/factory_schema.h"

#include "station/factory/factory_schema_sql.h"

namespace {

DbError Refusal(std::string message) { return DbError{"factory database", "", std::move(message)}; }

// Whether qeff_schema is there, asked of the catalogue: a SELECT of a missing
// table would fail, and psqlODBC 13 leaks what such a failure leaves.
DbResult<bool> SchemaTableExists(OdbcConnection& connection, SqlDialect dialect) {
    DbResult<OdbcStatement> query = connection.Prepare(
        dialect == SqlDialect::PostgreSql
            ? "SELECT COUNT(*) FROM information_schema.tables"
              " WHERE table_schema = current_schema() AND table_name = 'qeff_schema'"
            : "SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = SCHEMA_NAME() AND TABLE_NAME = 'qeff_schema'");
    if (!query)
        return query.Error();
    DbResult<bool> row = query->ExecuteToFirstRow();
    if (!row)
        return row.Error();
    if (!*row)
        return false;
    DbResult<std::optional<std::int64_t>> count = query->Integer(1);
    if (!count)
        return count.Error();
    return count->value_or(0) > 0;
}

// The one row of qeff_schema, or none where the table is missing.
DbResult<std::optional<std::int64_t>> SchemaVersion(OdbcConnection& connection, SqlDialect dialect) {
    DbResult<bool> exists = SchemaTableExists(connection, dialect);
    if (!exists)
        return exists.Error();
    if (!*exists)
        return std::optional<std::int64_t>{};
    DbResult<OdbcStatement> query = connection.Prepare("SELECT version FROM qeff_schema");
    if (!query)
        return query.Error();
    if (DbStatus error = query->Execute())
        return *error;
    std::vector<std::int64_t> versions;
    for (;;) {
        DbResult<bool> row = query->Fetch();
        if (!row)
            return row.Error();
        if (!*row)
            break;
        DbResult<std::optional<std::int64_t>> version = query->Integer(1);
        if (!version)
            return version.Error();
        versions.push_back(version->value_or(-1));
    }
    if (versions.size() != 1)
        return Refusal("its table qeff_schema holds " + std::to_string(versions.size()) +
                       " rows where it should hold one, the version of its tables: ask whoever set the database up");
    return std::optional<std::int64_t>{versions.front()};
}

DbStatus MakeTables(OdbcConnection& connection, SqlDialect dialect) {
    DbResult<OdbcTransaction> transaction = OdbcTransaction::Begin(connection);
    if (!transaction)
        return transaction.Error();
    for (const std::string& statement : SchemaStatements(dialect)) {
        if (DbStatus error = connection.Run(statement))
            return error;
    }
    return transaction->Commit();
}

}  // namespace

std::optional<SqlDialect> DialectOf(std::string_view dbmsName) {
    if (dbmsName.starts_with("PostgreSQL"))
        return SqlDialect::PostgreSql;
    if (dbmsName.starts_with("Microsoft SQL Server"))
        return SqlDialect::SqlServer;
    return std::nullopt;
}

std::vector<std::string> SchemaStatements(SqlDialect dialect) {
    // Comments dropped, then one statement per ';' that ends a line.
    std::string code;
    for (std::string_view rest = FactorySchemaSql(dialect); !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        line = line.substr(0, line.find("--"));
        line = line.substr(0, line.find_last_not_of(' ') + 1);
        code.append(line).append("\n");
    }
    std::vector<std::string> statements;
    for (std::size_t from = 0, end; (end = code.find(";\n", from)) != std::string::npos; from = end + 2) {
        std::string statement = code.substr(from, end - from);
        statement.erase(0, statement.find_first_not_of(" \n"));
        if (!statement.empty())
            statements.push_back(std::move(statement));
    }
    return statements;
}

DbStatus EnsureFactorySchema(OdbcConnection& connection) {
    const std::optional<SqlDialect> dialect = DialectOf(connection.DbmsName());
    if (!dialect)
        return Refusal("it runs on " + connection.DbmsName() +
                       ", and qefftool knows PostgreSQL and Microsoft SQL Server: use one of them");
    DbResult<std::optional<std::int64_t>> version = SchemaVersion(connection, *dialect);
    if (!version)
        return version.Error();
    if (!*version) {
        DbStatus failed = MakeTables(connection, *dialect);
        // Another station may have made them at the same moment: read again.
        version = SchemaVersion(connection, *dialect);
        if (!version)
            return failed ? *failed : version.Error();
        if (!*version)
            return failed ? *failed : Refusal("its tables were made, yet qeff_schema is missing");
    }
    const std::int64_t found = **version;
    if (found > kFactorySchemaVersion)
        return Refusal("its tables are of schema version " + std::to_string(found) + ", newer than this qefftool's (" +
                       std::to_string(kFactorySchemaVersion) + "): update qefftool on this station");
    if (found != kFactorySchemaVersion)
        return Refusal("its tables are of schema version " + std::to_string(found) +
                       ", which this qefftool does not know (it writes version " +
                       std::to_string(kFactorySchemaVersion) + "): ask whoever set the database up");
    return std::nullopt;
}
