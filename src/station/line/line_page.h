#pragma once

#include "station/web/station_web.h"

#include <atomic>
#include <functional>
#include <string>

// `qefftool line`: what it serves, and where.
struct LineOptions {
    std::string db;  // the factory database's ODBC connection string
    WebOptions web;  // its token given where it listens beyond loopback
    std::string tokenFile;  // read again when asked; empty: none
};

// Serves the line's page (every station of the factory database, read by a
// poller of its own) until `stop`; `serving` is told its address and its
// one-time link (its address, without a token) once it listens, and `told`
// what a person should know meanwhile (a token read again, or not).
// `reloadToken` raised reads the token file again. Throws
// std::runtime_error with a message for the user when it cannot listen.
void ServeLine(const LineOptions& options, const std::atomic<bool>& stop, std::atomic<bool>* reloadToken,
               const std::function<void(const std::string& url, const std::string& link)>& serving,
               const std::function<void(const std::string& text)>& told);
