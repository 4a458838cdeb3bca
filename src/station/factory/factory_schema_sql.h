#pragma once

#include "station/factory/factory_schema.h"

#include <string_view>

// The text of docs/factory-schema-postgresql.sql or -sqlserver.sql, built in
// (factory_schema_sql.cpp.in), so that the program runs the SQL its docs show.
std::string_view FactorySchemaSql(SqlDialect dialect);
