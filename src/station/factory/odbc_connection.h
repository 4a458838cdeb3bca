#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_handle.h"
#include "station/factory/odbc_statement.h"

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

// How long the factory's database may keep a station waiting.
struct OdbcTimeouts {
    std::chrono::seconds login{10};       // reaching the server and logging in
    std::chrono::seconds connection{30};  // any other request, where the driver keeps such a limit
    std::chrono::seconds query{30};       // each statement
};

// One connection to the factory's database through the system's ODBC driver
// manager (unixODBC on Linux, odbc32 on Windows). ODBC's C API is the
// systems' own interface to every database's driver, so this wrapper is thin:
// handles freed when they go, UTF-8 in and out of the wide calls, errors
// returned with their SQLSTATE. Used by one thread at a time.
class OdbcConnection {
public:
    // Connects with an ODBC connection string ("DSN=line" or
    // "Driver=...;Server=...;Port=...;Database=...;UID=...;PWD=...").
    static DbResult<OdbcConnection> Open(const std::string& connectionString, OdbcTimeouts timeouts = {});

    // What the driver calls the server's system: "PostgreSQL", "Microsoft SQL Server".
    const std::string& DbmsName() const { return dbmsName_; }

    DbResult<OdbcStatement> Prepare(std::string_view sql);
    // A statement without parameters, run at once (the schema's).
    DbStatus Run(std::string_view sql);

    // Statements from Begin() until Commit() or Rollback() are one transaction;
    // outside, each statement is one (autocommit).
    DbStatus Begin();
    DbStatus Commit();
    DbStatus Rollback();

private:
    OdbcConnection(OdbcHandle environment, OdbcHandle connection, OdbcTimeouts timeouts)
        : environment_(std::move(environment)), connection_(std::move(connection)), timeouts_(timeouts) {}
    DbStatus EndTransaction(short completion, const char* call);

    // Declared in this order so that the connection goes before its environment.
    OdbcHandle environment_;
    OdbcHandle connection_;
    OdbcTimeouts timeouts_;
    std::string dbmsName_;
};

// A transaction that is rolled back unless committed: a failure part-way
// through leaves the database as it was.
class OdbcTransaction {
public:
    static DbResult<OdbcTransaction> Begin(OdbcConnection& connection);
    OdbcTransaction(OdbcTransaction&& other) noexcept : connection_(std::exchange(other.connection_, nullptr)) {}
    OdbcTransaction& operator=(OdbcTransaction&&) = delete;
    ~OdbcTransaction();

    DbStatus Commit();

private:
    explicit OdbcTransaction(OdbcConnection& connection) : connection_(&connection) {}

    OdbcConnection* connection_;  // null once committed or rolled back
};
