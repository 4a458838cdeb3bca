#pragma once

#include "station/web/station_web.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// `qefftool line`: what it serves, and where.
struct LineOptions {
    std::string db;  // the factory database's ODBC connection string
    WebOptions web;  // its token given where it listens beyond loopback
    std::string tokenFile;  // read again when asked; empty: none
};

// The line's page, served on a thread of its own from what a poller of its
// own last read of the factory database.
class LineServer {
public:
    // Listens at once; throws std::runtime_error with a message for the user
    // when it cannot (the address is in use, a token is missing beyond loopback).
    explicit LineServer(const LineOptions& options);
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    std::string Url() const;   // "http://127.0.0.1:8080/"
    std::string Link() const;  // with a token: the one-time link; else Url()
    // From any thread: every session and link given so far ends.
    void ReplaceToken(std::string token);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Serves the line's page until `stop`; `serving` is told its address and its
// one-time link once it listens, and `told` what a person should know
// meanwhile (a token read again, or not). `reloadToken` raised reads the
// token file again. Throws as LineServer does.
void ServeLine(const LineOptions& options, const std::atomic<bool>& stop, std::atomic<bool>* reloadToken,
               const std::function<void(const std::string& url, const std::string& link)>& serving,
               const std::function<void(const std::string& text)>& told);
