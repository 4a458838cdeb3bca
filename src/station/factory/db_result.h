#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// Why a call to the factory's database failed: the ODBC call, the SQLSTATE
// and the texts of its diagnostic records. Returned, never thrown, so that a
// feed on a thread of its own sees every failure where it happens.
struct DbError {
    std::string call;      // "SQLExecute", or the step of ours that failed
    std::string sqlState;  // five characters; empty where no diagnostic record told one
    std::string message;

    // Whether the SQLSTATE is of this class or value: "23" for any integrity
    // constraint violation, "HYT00" for a time-out.
    bool Is(std::string_view state) const { return sqlState.starts_with(state); }
    // "SQLExecute: [23505] ERROR: duplicate key ..." for a person to read.
    std::string Text() const;
};

// Empty when the call succeeded: `if (auto error = statement.Execute())`.
using DbStatus = std::optional<DbError>;

// A value, or why there is none.
template <class T>
class DbResult {
public:
    DbResult(T value) : value_(std::move(value)) {}
    DbResult(DbError error) : error_(std::move(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    const DbError& Error() const { return error_; }

private:
    std::optional<T> value_;
    DbError error_;
};
