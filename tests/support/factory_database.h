#pragma once

#include "station/factory/odbc_connection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

// The factory database's tests: each in a new, empty database of one
// PostgreSQL server that the test program starts for them all, or of the one
// QEFF_TEST_POSTGRESQL_SERVER names. Skipped, saying why, where PostgreSQL is
// not installed (and on Windows without a server named); failed where it is
// and does not start.
class FactoryDatabaseTest : public testing::Test {
protected:
    void SetUp() override;

    // Another connection to this test's database.
    OdbcConnection Connect(OdbcTimeouts timeouts = {});

    std::string connectionString;
    std::optional<OdbcConnection> db;  // connected, the tables not made yet
};
