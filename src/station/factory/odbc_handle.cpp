#include "station/factory/odbc_handle.h"

#include "station/factory/odbc_api.h"
#include "station/factory/odbc_text.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

std::string Utf8FromWide(const SQLWCHAR* text, std::size_t length) {
    return Utf8FromUtf16(std::u16string(text, text + length));
}

// The driver's text on one line (libpq's runs over several, indented): it
// goes into the station's line-by-line output and record.
std::string OneLine(const std::string& text) {
    std::string line;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = true;
            continue;
        }
        if (space && !line.empty())
            line += ' ';
        space = false;
        line += c;
    }
    return line;
}

}  // namespace

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
        Free();
        type_ = other.type_;
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

OdbcHandle::~OdbcHandle() { Free(); }

void OdbcHandle::Free() {
    if (!handle_)
        return;
    if (type_ == SQL_HANDLE_DBC)
        SQLDisconnect(handle_);  // fails harmlessly where the connection was never made
    SQLFreeHandle(type_, handle_);
    handle_ = nullptr;
}

DbError OdbcHandle::Diagnostics(std::string call, short returned) const {
    DbError error{std::move(call), "", ""};
    for (SQLSMALLINT record = 1; handle_; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> text(512);
        SQLSMALLINT length = 0;
        SQLRETURN r = SQLGetDiagRecW(type_, handle_, record, state, &native, text.data(),
                                     static_cast<SQLSMALLINT>(text.size()), &length);
        if (r == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
            text.resize(static_cast<std::size_t>(length) + 1);  // the whole text, once its length is known
            r = SQLGetDiagRecW(type_, handle_, record, state, &native, text.data(),
                               static_cast<SQLSMALLINT>(text.size()), &length);
        }
        if (!SQL_SUCCEEDED(r))
            break;
        if (error.sqlState.empty())
            error.sqlState = Utf8FromWide(state, 5);
        if (!error.message.empty())
            error.message += "; ";
        error.message += OneLine(Utf8FromWide(text.data(), std::min<std::size_t>(length, text.size() - 1)));
    }
    if (error.message.empty())
        error.message = "no diagnostic record (ODBC returned " + std::to_string(returned) + ")";
    return error;
}
