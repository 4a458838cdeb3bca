#include "station/factory/odbc_connection.h"

#include "station/factory/odbc_api.h"
#include "station/factory/odbc_text.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Text for a wide call, ending in a zero.
std::vector<SQLWCHAR> WideOf(std::string_view utf8) {
    const std::u16string text = Utf16FromUtf8(utf8);
    std::vector<SQLWCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

// ODBC takes an integer attribute in its pointer argument.
SQLPOINTER Seconds(std::chrono::seconds s) {
    return reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(s.count()));  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

DbResult<OdbcConnection> OdbcConnection::Open(const std::string& connectionString, OdbcTimeouts timeouts) {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle)))
        return DbError{"SQLAllocHandle", "", "the ODBC driver manager could not start (is it installed?)"};
    OdbcHandle environment(SQL_HANDLE_ENV, handle);
    SQLRETURN r = SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(r))
        return environment.Diagnostics("SQLSetEnvAttr", r);
    r = SQLAllocHandle(SQL_HANDLE_DBC, environment.Get(), &handle);
    if (!SQL_SUCCEEDED(r))
        return environment.Diagnostics("SQLAllocHandle", r);
    OdbcConnection connection(std::move(environment), OdbcHandle(SQL_HANDLE_DBC, handle), timeouts);
    const OdbcHandle& dbc = connection.connection_;

    r = SQLSetConnectAttrW(dbc.Get(), SQL_ATTR_LOGIN_TIMEOUT, Seconds(timeouts.login), 0);
    if (!SQL_SUCCEEDED(r))
        return dbc.Diagnostics("SQLSetConnectAttr(login time-out)", r);
    r = SQLSetConnectAttrW(dbc.Get(), SQL_ATTR_CONNECTION_TIMEOUT, Seconds(timeouts.connection), 0);
    if (!SQL_SUCCEEDED(r)) {
        // HYC00, HY092: a driver that keeps no such limit; each statement's
        // own time-out still holds.
        DbError error = dbc.Diagnostics("SQLSetConnectAttr(connection time-out)", r);
        if (!error.Is("HYC00") && !error.Is("HY092"))
            return error;
    }

    std::vector<SQLWCHAR> text = WideOf(connectionString);
    {
        // psqlODBC sets the process's locale (setlocale) while it logs in,
        // which no two threads may do at once: one login at a time.
        static std::mutex loggingIn;
        const std::lock_guard lock(loggingIn);
        r = SQLDriverConnectW(dbc.Get(), nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    }
    if (!SQL_SUCCEEDED(r))
        return dbc.Diagnostics("SQLDriverConnect", r);

    SQLWCHAR name[128] = {};
    SQLSMALLINT length = 0;
    r = SQLGetInfoW(dbc.Get(), SQL_DBMS_NAME, name, sizeof name, &length);
    if (!SQL_SUCCEEDED(r))
        return dbc.Diagnostics("SQLGetInfo(SQL_DBMS_NAME)", r);
    const std::size_t units = std::min<std::size_t>(static_cast<std::size_t>(length) / sizeof(SQLWCHAR),
                                                    std::size(name) - 1);
    connection.dbmsName_ = Utf8FromUtf16(std::u16string(name, name + units));
    return connection;
}

DbResult<OdbcStatement> OdbcConnection::Prepare(std::string_view sql) {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    SQLRETURN r = SQLAllocHandle(SQL_HANDLE_STMT, connection_.Get(), &handle);
    if (!SQL_SUCCEEDED(r))
        return connection_.Diagnostics("SQLAllocHandle", r);
    OdbcHandle statement(SQL_HANDLE_STMT, handle);
    r = SQLSetStmtAttrW(handle, SQL_ATTR_QUERY_TIMEOUT, Seconds(timeouts_.query), 0);
    if (!SQL_SUCCEEDED(r))
        return statement.Diagnostics("SQLSetStmtAttr(query time-out)", r);
    std::vector<SQLWCHAR> text = WideOf(sql);
    r = SQLPrepareW(handle, text.data(), SQL_NTS);
    if (!SQL_SUCCEEDED(r))
        return statement.Diagnostics("SQLPrepare", r);
    return OdbcStatement(std::move(statement));
}

DbStatus OdbcConnection::Run(std::string_view sql) {
    DbResult<OdbcStatement> statement = Prepare(sql);
    if (!statement)
        return statement.Error();
    return statement->Execute();
}

DbStatus OdbcConnection::Begin() {
    const SQLRETURN r = SQLSetConnectAttrW(connection_.Get(), SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(r))
        return connection_.Diagnostics("SQLSetConnectAttr(autocommit off)", r);
    return std::nullopt;
}

DbStatus OdbcConnection::Commit() { return EndTransaction(SQL_COMMIT, "SQLEndTran(commit)"); }
DbStatus OdbcConnection::Rollback() { return EndTransaction(SQL_ROLLBACK, "SQLEndTran(rollback)"); }

DbStatus OdbcConnection::EndTransaction(short completion, const char* call) {
    DbStatus status;
    SQLRETURN r = SQLEndTran(SQL_HANDLE_DBC, connection_.Get(), completion);
    if (!SQL_SUCCEEDED(r)) {
        status = connection_.Diagnostics(call, r);
        // Autocommit turned on commits what is open: a failed commit is rolled back first.
        SQLEndTran(SQL_HANDLE_DBC, connection_.Get(), SQL_ROLLBACK);
    }
    // Back to a transaction per statement, whether or not the end succeeded.
    r = SQLSetConnectAttrW(connection_.Get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (!SQL_SUCCEEDED(r) && !status)
        status = connection_.Diagnostics("SQLSetConnectAttr(autocommit on)", r);
    return status;
}

DbResult<OdbcTransaction> OdbcTransaction::Begin(OdbcConnection& connection) {
    if (DbStatus error = connection.Begin())
        return *error;
    return OdbcTransaction(connection);
}

OdbcTransaction::~OdbcTransaction() {
    if (connection_)
        connection_->Rollback();
}

DbStatus OdbcTransaction::Commit() {
    OdbcConnection* connection = std::exchange(connection_, nullptr);
    return connection->Commit();
}
