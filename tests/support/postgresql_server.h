#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

// A PostgreSQL server of the tests' own: a new cluster in a temporary folder,
// listening on loopback at a free port, stopped and removed when it goes. Run
// as the "postgres" user where the tests run as root (the server refuses
// root), as the current user otherwise; a child of the test program that ends
// with it, even when a time limit kills the program.
class PostgresqlServer {
public:
    // Where PostgreSQL's programs are, or empty when it is not installed.
    static std::filesystem::path Programs();

    // Starts one; empty with `why` told when it did not start.
    static std::unique_ptr<PostgresqlServer> Start(std::string& why);
    ~PostgresqlServer();
    PostgresqlServer(const PostgresqlServer&) = delete;
    PostgresqlServer& operator=(const PostgresqlServer&) = delete;

    // An ODBC connection string for it through psqlODBC, without a database:
    // "Driver=...;Server=127.0.0.1;Port=...;UID=...;".
    std::string ConnectionString() const;

private:
    explicit PostgresqlServer(std::filesystem::path folder) : folder_(std::move(folder)) {}

    std::filesystem::path folder_;
    pid_t server_ = -1;
    int port_ = 0;
};

// The path of psqlODBC's Unicode driver, or empty when it is not installed.
std::string PostgresqlOdbcDriver();
