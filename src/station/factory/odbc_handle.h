#pragma once

#include "station/factory/db_result.h"

#include <string>

// One ODBC handle (environment, connection or statement), freed when it goes;
// a connection is disconnected first. Handles are `void*` in ODBC on every
// system, so this header needs none of the API's.
class OdbcHandle {
public:
    OdbcHandle() = default;
    OdbcHandle(short type, void* handle) : type_(type), handle_(handle) {}
    OdbcHandle(OdbcHandle&& other) noexcept;
    OdbcHandle& operator=(OdbcHandle&& other) noexcept;
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    ~OdbcHandle();

    short Type() const { return type_; }
    void* Get() const { return handle_; }

    // The handle's diagnostic records after `call` failed with `returned`.
    DbError Diagnostics(std::string call, short returned) const;

private:
    void Free();

    short type_ = 0;
    void* handle_ = nullptr;
};
