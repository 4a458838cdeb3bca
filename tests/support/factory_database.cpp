#include "support/factory_database.h"

#ifndef _WIN32
#include "support/postgresql_server.h"
#endif

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// Names a PostgreSQL server the tests may make databases in, instead of one
// of their own: an ODBC connection string without a database. So the Windows
// build, under Wine, reaches the Linux build's server.
constexpr const char* kServerVariable = "QEFF_TEST_POSTGRESQL_SERVER";

// One server for the whole test program: starting one takes seconds.
class ServerEnvironment : public testing::Environment {
public:
    void SetUp() override {
        if (const char* named = std::getenv(kServerVariable); named && *named) {
            server = named;
            return;
        }
#ifdef _WIN32
        skipped = std::string("no PostgreSQL server of the tests' own on Windows: ") + kServerVariable +
                  " names one (an ODBC connection string without Database=)";
#else
        if (PostgresqlServer::Programs().empty()) {
            skipped = "PostgreSQL is not installed (postgresql, odbc-postgresql): scripts/install-deps.sh";
            return;
        }
        std::string why;
        own = PostgresqlServer::Start(why);
        ASSERT_TRUE(own) << why;
        server = own->ConnectionString();
#endif
    }

    void TearDown() override {
        // A server named from outside keeps nothing of the tests.
        if (DbResult<OdbcConnection> maintenance = OdbcConnection::Open(server + "Database=postgres;")) {
            for (const std::string& name : made)
                maintenance->Run("DROP DATABASE IF EXISTS " + name);
        }
#ifndef _WIN32
        own.reset();
#endif
    }

    // A new, empty database: its connection string.
    std::string NewDatabase() {
        DbResult<OdbcConnection> maintenance = OdbcConnection::Open(server + "Database=postgres;");
        if (!maintenance)
            throw std::runtime_error(maintenance.Error().Text());
        // Unique across runs too, for a server named from outside.
        static const auto run = std::chrono::system_clock::now().time_since_epoch().count() % 1'000'000'000;
        const std::string name = "qeff_test_" + std::to_string(run) + "_" + std::to_string(made.size() + 1);
        if (DbStatus error = maintenance->Run("CREATE DATABASE " + name))
            throw std::runtime_error(error->Text());
        made.push_back(name);
        return server + "Database=" + name + ";";
    }

    std::string skipped;
    std::string server;  // its connection string, without a database
    std::vector<std::string> made;
#ifndef _WIN32
    std::unique_ptr<PostgresqlServer> own;
#endif
};

ServerEnvironment* const environment =
    static_cast<ServerEnvironment*>(testing::AddGlobalTestEnvironment(new ServerEnvironment));

}  // namespace

void FactoryDatabaseTest::SetUp() {
    if (!environment->skipped.empty())
        GTEST_SKIP() << environment->skipped;
    ASSERT_FALSE(environment->server.empty()) << "the PostgreSQL server did not start";
    connectionString = environment->NewDatabase();
    db.emplace(Connect());
}

OdbcConnection FactoryDatabaseTest::Connect(OdbcTimeouts timeouts) {
    DbResult<OdbcConnection> connection = OdbcConnection::Open(connectionString, timeouts);
    if (!connection)
        throw std::runtime_error(connection.Error().Text());
    return std::move(*connection);
}
