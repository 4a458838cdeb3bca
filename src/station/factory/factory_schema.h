#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The version of the factory database's tables this program writes.
constexpr std::int64_t kFactorySchemaVersion = 1;

// The SQL dialects the factory's database may speak.
enum class SqlDialect { PostgreSql, SqlServer };

// The dialect of the system the driver names (SQL_DBMS_NAME); none for one
// this program does not know.
std::optional<SqlDialect> DialectOf(std::string_view dbmsName);

// The statements that make the tables (docs/factory-schema-*.sql, built in).
std::vector<std::string> SchemaStatements(SqlDialect dialect);

// Makes the tables in a database that has none, in one transaction, and
// accepts a database whose tables are this version; refuses a newer or
// unknown version, saying what to do.
DbStatus EnsureFactorySchema(OdbcConnection& connection);
