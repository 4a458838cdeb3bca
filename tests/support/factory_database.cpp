#include "support/factory_database.h"

#ifndef _WIN32
#include "support/postgresql_server.h"
#endif

#include <memory>
#include <stdexcept>

namespace {

// One server for the whole test program: starting one takes about 2 s.
class ServerEnvironment : public testing::Environment {
public:
    void SetUp() override {
#ifdef _WIN32
        skipped = "no PostgreSQL server of the tests' own on Windows";
#else
        if (PostgresqlServer::Programs().empty()) {
            skipped = "PostgreSQL is not installed (postgresql, odbc-postgresql): scripts/install-deps.sh";
            return;
        }
        std::string why;
        server = PostgresqlServer::Start(why);
        ASSERT_TRUE(server) << why;
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        server.reset();
#endif
    }

    std::string skipped;
#ifndef _WIN32
    std::unique_ptr<PostgresqlServer> server;
#endif
};

ServerEnvironment* const environment =
    static_cast<ServerEnvironment*>(testing::AddGlobalTestEnvironment(new ServerEnvironment));

}  // namespace

void FactoryDatabaseTest::SetUp() {
    if (!environment->skipped.empty())
        GTEST_SKIP() << environment->skipped;
#ifndef _WIN32
    ASSERT_TRUE(environment->server) << "the PostgreSQL server did not start";
    std::string why;
    connectionString = environment->server->NewDatabase(why);
    ASSERT_FALSE(connectionString.empty()) << why;
    db.emplace(Connect());
#endif
}

OdbcConnection FactoryDatabaseTest::Connect(OdbcTimeouts timeouts) {
    DbResult<OdbcConnection> connection = OdbcConnection::Open(connectionString, timeouts);
    if (!connection)
        throw std::runtime_error(connection.Error().Text());
    return std::move(*connection);
}
