#pragma once

#include <filesystem>
#include <memory>
#include <string>

// A PostgreSQL server of the tests' own: a new cluster in a temporary folder,
// listening on loopback at a free port, stopped and removed when it goes.
// Run as the "postgres" user where the tests run as root (the server refuses
// root), as the current user otherwise.
class PostgresqlServer {
public:
    // Where PostgreSQL's programs are, or empty when it is not installed.
    static std::filesystem::path Programs();

    // Starts one; empty with `why` told when it did not start.
    static std::unique_ptr<PostgresqlServer> Start(std::string& why);
    ~PostgresqlServer();
    PostgresqlServer(const PostgresqlServer&) = delete;
    PostgresqlServer& operator=(const PostgresqlServer&) = delete;

    int Port() const { return port_; }
    // An ODBC connection string for one of its databases, through psqlODBC.
    std::string ConnectionString(const std::string& database) const;
    // A new, empty database: its connection string; empty with `why` told
    // when it could not be made.
    std::string NewDatabase(std::string& why);

private:
    PostgresqlServer(std::filesystem::path folder, int port) : folder_(std::move(folder)), port_(port) {}

    std::filesystem::path folder_;
    int port_;
    int databases_ = 0;
};

// The path of psqlODBC's Unicode driver, or empty when it is not installed.
std::string PostgresqlOdbcDriver();
