#include "station/factory/odbc_connection.h"

#include "support/factory_database.h"
#include "support/postgresql_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

// A loopback port that takes connections into its queue and never answers:
// a server that hangs.
class SilentListener {
public:
    SilentListener() {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(socket_, 4);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { close(socket_); }
    int Port() const { return port_; }

private:
    int socket_ = -1;
    int port_ = 0;
};

// A loopback port where nothing listens.
int ClosedPort() {
    SilentListener gone;
    return gone.Port();
}

}  // namespace

using OdbcConnectionTest = FactoryDatabaseTest;

// Faults caught: the login time-out not given to the driver (a server that
// never answers keeps the station waiting for ever; the test program's time
// limit then ends it); a refused login not told as an error, or told over
// several lines as libpq writes it (the station's output is a line an event).
TEST_F(OdbcConnectionTest, LoginFailsWithinItsTimeOut) {
    SilentListener silent;
    const struct {
        const char* name;
        int port;
    } rows[] = {{"nothing listens", ClosedPort()}, {"a server that never answers", silent.Port()}};
    for (const auto& row : rows) {
        const std::string text = "Driver=" + PostgresqlOdbcDriver() + ";Server=127.0.0.1;Port=" +
                                 std::to_string(row.port) + ";Database=line;UID=qeff;";
        const auto start = steady_clock::now();
        DbResult<OdbcConnection> connection = OdbcConnection::Open(text, OdbcTimeouts{.login = seconds{2}});
        const auto waited = steady_clock::now() - start;
        EXPECT_FALSE(connection) << row.name;
        EXPECT_FALSE(connection.Error().sqlState.empty()) << row.name << ": " << connection.Error().Text();
        EXPECT_LT(waited, seconds{10}) << row.name;
        EXPECT_EQ(connection.Error().Text().find('\n'), std::string::npos) << connection.Error().Text();
    }
}

// Fault caught: the query time-out not set on each statement: a statement the
// server keeps running holds the station for as long.
TEST_F(OdbcConnectionTest, StatementEndsAtItsTimeOut) {
    OdbcConnection quick = Connect(OdbcTimeouts{.query = seconds{1}});
    DbResult<OdbcStatement> sleep = quick.Prepare("SELECT pg_sleep(20)");
    ASSERT_TRUE(sleep) << sleep.Error().Text();
    const auto start = steady_clock::now();
    DbStatus error = sleep->Execute();
    ASSERT_TRUE(error);
    EXPECT_LT(steady_clock::now() - start, seconds{10}) << error->Text();
}

// Faults caught: autocommit left on in a transaction, or a transaction not
// rolled back when it goes uncommitted (a feed's half-written batch kept).
TEST_F(OdbcConnectionTest, TransactionNotCommittedLeavesNothing) {
    ASSERT_FALSE(db->Run("CREATE TABLE kept (value bigint)"));
    const auto insert = [&](std::int64_t value) {
        DbResult<OdbcStatement> statement = db->Prepare("INSERT INTO kept (value) VALUES (?)");
        ASSERT_TRUE(statement) << statement.Error().Text();
        statement->BindInteger(1, value);
        ASSERT_FALSE(statement->Execute());
    };
    {
        DbResult<OdbcTransaction> transaction = OdbcTransaction::Begin(*db);
        ASSERT_TRUE(transaction);
        insert(1);
    }
    {
        DbResult<OdbcTransaction> transaction = OdbcTransaction::Begin(*db);
        ASSERT_TRUE(transaction);
        insert(2);
        ASSERT_FALSE(transaction->Commit());
    }
    insert(3);  // autocommit again
    OdbcConnection other = Connect();
    DbResult<OdbcStatement> values = other.Prepare("SELECT value FROM kept ORDER BY value");
    ASSERT_TRUE(values);
    ASSERT_FALSE(values->Execute());
    std::vector<std::int64_t> seen;
    for (DbResult<bool> row = values->Fetch(); row && *row; row = values->Fetch())
        seen.push_back(values->Integer(1)->value_or(0));
    EXPECT_EQ(seen, (std::vector<std::int64_t>{2, 3}));
}
