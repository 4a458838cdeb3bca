#include "station/factory/odbc_statement.h"

#include "station/factory/odbc_api.h"
#include "station/factory/odbc_text.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace std::chrono;

// Longer values go as the "long" types, which SQL Server takes for (max) columns.
constexpr std::size_t kLongestShortText = 4000;
constexpr std::size_t kLongestShortBinary = 8000;

SQL_TIMESTAMP_STRUCT TimestampOf(DbTime time) {
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{time - day};
    SQL_TIMESTAMP_STRUCT t{};
    t.year = static_cast<SQLSMALLINT>(static_cast<int>(date.year()));
    t.month = static_cast<SQLUSMALLINT>(static_cast<unsigned>(date.month()));
    t.day = static_cast<SQLUSMALLINT>(static_cast<unsigned>(date.day()));
    t.hour = static_cast<SQLUSMALLINT>(clock.hours().count());
    t.minute = static_cast<SQLUSMALLINT>(clock.minutes().count());
    t.second = static_cast<SQLUSMALLINT>(clock.seconds().count());
    t.fraction = static_cast<SQLUINTEGER>(clock.subseconds().count() * 1'000'000);  // nanoseconds
    return t;
}

DbTime TimeOf(const SQL_TIMESTAMP_STRUCT& t) {
    const sys_days day{year{t.year} / month{t.month} / std::chrono::day{t.day}};
    return DbTime{day} + hours{t.hour} + minutes{t.minute} + seconds{t.second} +
           duration_cast<milliseconds>(nanoseconds{t.fraction});
}

}  // namespace

void OdbcStatement::Set(std::size_t index, Value value) {
    if (parameters_.size() < index)
        parameters_.resize(index);
    parameters_[index - 1] = std::move(value);
}

void OdbcStatement::BindText(std::size_t index, std::string_view utf8) { Set(index, Wide{Utf16FromUtf8(utf8)}); }
void OdbcStatement::BindTextOrNull(std::size_t index, const std::optional<std::string>& utf8) {
    if (utf8)
        BindText(index, *utf8);
    else
        Set(index, NullText{});
}
void OdbcStatement::BindBytes(std::size_t index, std::string_view bytes) { Set(index, Binary{std::string(bytes)}); }
void OdbcStatement::BindInteger(std::size_t index, std::int64_t value) { Set(index, value); }
void OdbcStatement::BindTime(std::size_t index, DbTime time) { Set(index, time); }

DbStatus OdbcStatement::Execute() {
    SQLHSTMT s = statement_.Get();
    SQLFreeStmt(s, SQL_CLOSE);
    SQLFreeStmt(s, SQL_RESET_PARAMS);
    // Each parameter's length and time, where the driver reads them during SQLExecute.
    std::vector<SQLLEN> lengths(parameters_.size());
    std::vector<SQL_TIMESTAMP_STRUCT> times(parameters_.size());
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        const auto number = static_cast<SQLUSMALLINT>(i + 1);
        SQLRETURN r = SQL_ERROR;
        if (auto* text = std::get_if<Wide>(&parameters_[i])) {
            const std::size_t units = text->text.size();
            lengths[i] = static_cast<SQLLEN>(units * sizeof(SQLWCHAR));
            r = SQLBindParameter(s, number, SQL_PARAM_INPUT, SQL_C_WCHAR,
                                 units > kLongestShortText ? SQL_WLONGVARCHAR : SQL_WVARCHAR,
                                 std::max<std::size_t>(units, 1), 0, text->text.data(), lengths[i], &lengths[i]);
        } else if (std::holds_alternative<NullText>(parameters_[i])) {
            lengths[i] = SQL_NULL_DATA;
            r = SQLBindParameter(s, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0, nullptr, 0, &lengths[i]);
        } else if (auto* binary = std::get_if<Binary>(&parameters_[i])) {
            const std::size_t size = binary->bytes.size();
            lengths[i] = static_cast<SQLLEN>(size);
            r = SQLBindParameter(s, number, SQL_PARAM_INPUT, SQL_C_BINARY,
                                 size > kLongestShortBinary ? SQL_LONGVARBINARY : SQL_VARBINARY,
                                 std::max<std::size_t>(size, 1), 0, binary->bytes.data(), lengths[i], &lengths[i]);
        } else if (auto* integer = std::get_if<std::int64_t>(&parameters_[i])) {
            r = SQLBindParameter(s, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, integer, 0, nullptr);
        } else if (auto* time = std::get_if<DbTime>(&parameters_[i])) {
            times[i] = TimestampOf(*time);
            // 23 characters: "yyyy-mm-dd hh:mm:ss.fff"; 3 digits of seconds' fraction.
            r = SQLBindParameter(s, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3,
                                 &times[i], 0, nullptr);
        } else {
            return DbError{"SQLBindParameter", "", "parameter " + std::to_string(number) + " was given no value"};
        }
        if (!SQL_SUCCEEDED(r))
            return statement_.Diagnostics("SQLBindParameter", r);
    }
    const SQLRETURN r = SQLExecute(s);
    // SQL_NO_DATA: an UPDATE or DELETE that met no row, which is no failure.
    if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA)
        return statement_.Diagnostics("SQLExecute", r);
    return std::nullopt;
}

void OdbcStatement::CloseRows() { SQLFreeStmt(statement_.Get(), SQL_CLOSE); }

DbResult<std::int64_t> OdbcStatement::RowsAffected() {
    SQLLEN rows = 0;
    const SQLRETURN r = SQLRowCount(statement_.Get(), &rows);
    if (!SQL_SUCCEEDED(r))
        return statement_.Diagnostics("SQLRowCount", r);
    return static_cast<std::int64_t>(rows);
}

DbResult<bool> OdbcStatement::Fetch() {
    const SQLRETURN r = SQLFetch(statement_.Get());
    if (r == SQL_NO_DATA)
        return false;
    if (!SQL_SUCCEEDED(r))
        return statement_.Diagnostics("SQLFetch", r);
    return true;
}

DbResult<std::optional<std::string>> OdbcStatement::Text(std::size_t column) { return ReadChunks(column, true); }
DbResult<std::optional<std::string>> OdbcStatement::Bytes(std::size_t column) { return ReadChunks(column, false); }

// A text or binary column of any length, a buffer at a time.
DbResult<std::optional<std::string>> OdbcStatement::ReadChunks(std::size_t column, bool wide) {
    std::string bytes;
    char buffer[4096];
    // A wide chunk ends in a terminating zero of one SQLWCHAR; a binary one in none.
    const std::size_t room = wide ? sizeof buffer - sizeof(SQLWCHAR) : sizeof buffer;
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN r = SQLGetData(statement_.Get(), static_cast<SQLUSMALLINT>(column),
                                       wide ? SQL_C_WCHAR : SQL_C_BINARY, buffer, sizeof buffer, &length);
        if (r == SQL_NO_DATA)
            break;  // the last chunk was read already
        if (!SQL_SUCCEEDED(r))
            return statement_.Diagnostics("SQLGetData", r);
        if (length == SQL_NULL_DATA)
            return std::optional<std::string>{};
        // With info (01004): this chunk filled the buffer and more follows.
        const bool more = r == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) > room);
        bytes.append(buffer, more ? room : static_cast<std::size_t>(length));
        if (!more)
            break;
    }
    if (!wide)
        return std::optional<std::string>{std::move(bytes)};
    std::u16string text(bytes.size() / sizeof(SQLWCHAR), u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return std::optional<std::string>{Utf8FromUtf16(text)};
}

DbResult<std::optional<std::int64_t>> OdbcStatement::Integer(std::size_t column) {
    SQLBIGINT value = 0;
    SQLLEN length = 0;
    const SQLRETURN r = SQLGetData(statement_.Get(), static_cast<SQLUSMALLINT>(column), SQL_C_SBIGINT, &value,
                                   sizeof value, &length);
    if (!SQL_SUCCEEDED(r))
        return statement_.Diagnostics("SQLGetData", r);
    if (length == SQL_NULL_DATA)
        return std::optional<std::int64_t>{};
    return std::optional<std::int64_t>{static_cast<std::int64_t>(value)};
}

DbResult<std::optional<DbTime>> OdbcStatement::Time(std::size_t column) {
    SQL_TIMESTAMP_STRUCT value{};
    SQLLEN length = 0;
    const SQLRETURN r = SQLGetData(statement_.Get(), static_cast<SQLUSMALLINT>(column), SQL_C_TYPE_TIMESTAMP, &value,
                                   sizeof value, &length);
    if (!SQL_SUCCEEDED(r))
        return statement_.Diagnostics("SQLGetData", r);
    if (length == SQL_NULL_DATA)
        return std::optional<DbTime>{};
    return std::optional<DbTime>{TimeOf(value)};
}

DbResult<bool> OdbcStatement::ExecuteToFirstRow() {
    if (DbStatus error = Execute())
        return *error;
    return Fetch();
}
