#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_handle.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

using DbTime = std::chrono::sys_time<std::chrono::milliseconds>;  // UTC, to the millisecond

// A prepared statement of the factory's database. Values reach the server as
// bound parameters only, never in the SQL's text. Parameters are numbered
// from 1 as the SQL's '?' are; each keeps its value until it is bound again.
// Columns are numbered from 1 and read in ascending order after Fetch(), as
// every driver allows. Lives no longer than its connection.
class OdbcStatement {
public:
    explicit OdbcStatement(OdbcHandle statement) : statement_(std::move(statement)) {}

    // UTF-8 text (see odbc_text.h for text that is not valid UTF-8).
    void BindText(std::size_t index, std::string_view utf8);
    // UTF-8 text, or NULL where there is none.
    void BindTextOrNull(std::size_t index, const std::optional<std::string>& utf8);
    // Bytes kept exactly, NUL and all, for a binary column.
    void BindBytes(std::size_t index, std::string_view bytes);
    void BindInteger(std::size_t index, std::int64_t value);
    void BindTime(std::size_t index, DbTime time);

    // Runs it with the parameters bound, closing the rows of its last run first.
    DbStatus Execute();
    // The rows the last run inserted, updated or deleted.
    DbResult<std::int64_t> RowsAffected();

    // Moves to the next row of the result: false when there is none.
    DbResult<bool> Fetch();
    // Lets go of the rows of its last run. A statement kept for the next
    // question closes them once read: without several active results (SQL
    // Server's default), a connection runs no other statement meanwhile.
    void CloseRows();
    // Runs it and moves to its first row: whether there is one.
    DbResult<bool> ExecuteToFirstRow();
    // A column of the current row; empty for NULL.
    DbResult<std::optional<std::string>> Text(std::size_t column);
    DbResult<std::optional<std::string>> Bytes(std::size_t column);
    DbResult<std::optional<std::int64_t>> Integer(std::size_t column);
    DbResult<std::optional<DbTime>> Time(std::size_t column);

private:
    struct Wide {
        std::u16string text;
    };
    struct Binary {
        std::string bytes;
    };
    struct NullText {};
    using Value = std::variant<std::monostate, Wide, NullText, Binary, std::int64_t, DbTime>;

    void Set(std::size_t index, Value value);
    DbResult<std::optional<std::string>> ReadChunks(std::size_t column, bool wide);

    OdbcHandle statement_;
    std::vector<Value> parameters_;
};
