#pragma once

#include "station/station_event_sink.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class StationBoard;

// Where the station's page listens, and the secret every request must carry
// when it listens beyond loopback.
struct WebOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port (the tests')
    std::optional<std::string> token;
    // How long a one-time link works: a link left in a log is soon worth nothing.
    std::chrono::steady_clock::duration loginKeyLasts = std::chrono::minutes(5);
};

// "[ADDRESS:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080"); nullopt with `why` when it is none.
std::optional<WebOptions> ParseListenAddress(const std::string& text, std::string& why);
// Whether only this computer reaches `address` (127.0.0.1, ::1).
bool IsLoopbackAddress(const std::string& address);

// What a command did: whether it changed anything, and the station's state
// after it ("starting" "watching" "paused" "stopping" "stopped").
struct CommandAnswer {
    bool changed = false;  // false: the station was so already
    std::string state;
};

// What the page's buttons and the API's control requests ask of the station;
// called from the web's thread. `by`: who asked ("the page from 127.0.0.1").
class StationCommands {
public:
    virtual ~StationCommands() = default;
    virtual CommandAnswer Pause(const std::string& by) = 0;   // take no new product; the running ones finish
    virtual CommandAnswer Resume(const std::string& by) = 0;
    virtual CommandAnswer Stop(const std::string& by) = 0;    // as Ctrl-C
};

// The station's page and API, served on a thread of its own, from the board
// the station's model keeps. Every event goes to the clients following the
// station, each with a bounded queue: a slow browser is dropped, never waited for.
class StationWeb final : public StationEventSink {
public:
    // Listens at once; throws std::runtime_error with a message for the user
    // when it cannot (the address is in use, a token is missing beyond loopback).
    StationWeb(const WebOptions& options, const StationBoard& board, StationCommands& commands);
    ~StationWeb() override;  // closes every connection, then ends the thread
    StationWeb(const StationWeb&) = delete;
    StationWeb& operator=(const StationWeb&) = delete;

    void Take(const StationEvent& event) override;  // tells the clients; never blocks
    std::string Url() const;   // "http://127.0.0.1:8080/"
    std::string Link() const;  // with a token: the one-time link that gives a browser its cookie; else Url()
    // From any thread: the token every request must carry from now on; every
    // session and link given so far ends.
    void ReplaceToken(std::string token);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
