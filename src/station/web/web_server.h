#pragma once

#include "station/web/station_web.h"
#include "station/web/web_site.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

class WebConnection;
struct WebSecrets;

// What a site's answer, given on another thread, is posted to: the server's
// thread while it runs, nothing once it is gone.
struct WebServerGate {
    std::mutex mutex;
    boost::asio::io_context* io = nullptr;
};

// The server of a site (the station's page or the line's): its thread, its
// listening socket, its connections and the rules of who may ask. Everything
// but the constructor, the destructor, Tell and ReplaceToken runs on the
// server's thread.
class WebServer {
public:
    static constexpr std::size_t kMaxConnections = 64;  // beyond: a new one is closed at once
    // From one other computer; beyond: a new one is closed at once, so that
    // one computer cannot take every place (loopback is this computer's own).
    static constexpr std::size_t kMaxPerPeer = 8;
    // The last places, kept for clients that show the token: another computer
    // takes one only when the station has a token, and must show it in its
    // first request, within kTokenWithin, or the place is let go.
    static constexpr std::size_t kKeptForToken = 16;
    static constexpr auto kTokenWithin = std::chrono::seconds(2);
    static constexpr auto kHeartbeat = std::chrono::seconds(2);
    static constexpr auto kFinishWithin = std::chrono::seconds(1);  // for the last status to reach the browsers
    static constexpr std::size_t kEventsKept = 1024;  // the last events, told again to a client that reconnects
    static constexpr auto kSearchWithin = std::chrono::seconds(5);  // a search's answer; beyond: 504

    // Listens at once; throws std::runtime_error with a message for the user
    // when it cannot (the address is in use, a token is missing beyond loopback).
    WebServer(const WebOptions& options, WebSite& site);
    ~WebServer();  // closes every connection, then ends the thread
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // A station event's JSON line: to every events stream, and the board changed. From any thread.
    void Tell(const std::string& eventLine);

    // Sessions kept at most; beyond, the oldest ends.
    static constexpr std::size_t kMaxSessions = 64;

    WebSecrets Secrets();
    // The one-time key was spent: a session of its own for the browser that
    // spent it, the value of its cookie.
    std::string NewSession();
    // The session `value` ends; all of them when it is empty.
    void EndSessions(std::string_view value);
    // A new token, from any thread: every session and link ends.
    void ReplaceToken(std::string token);
    // A new one-time link, for one more browser, by the name the asker gave
    // the station (`host`, as its request's Host says); the last one no longer works.
    std::string NewLink(std::string_view host);
    // The status stream's message for the board as it is now.
    std::shared_ptr<const std::string> FreshStatus();
    std::shared_ptr<const std::string> NewestStatus() const { return status_; }
    // What a client that reconnects with `lastEventId` (its Last-Event-ID)
    // missed: the events kept since, after a "gap" event when some of them
    // were let go, or a "newRun" event when it followed another run.
    std::vector<std::shared_ptr<const std::string>> Replay(std::string_view lastEventId) const;

    WebSite& site;
    const std::shared_ptr<WebServerGate> gate = std::make_shared<WebServerGate>();
    std::string url, link;
    std::unordered_set<WebConnection*> connections;  // each adds and removes itself

private:
    void Accept();
    enum class Place { None, Open, ForToken };
    // Whether a connection from `peer` may be taken now, and on what terms.
    Place Room(const boost::asio::ip::address& peer) const;
    void BoardChanged();
    void Beat();
    // Closes what is left once every connection has gone, or at `deadline`.
    void AwaitClosed(std::chrono::steady_clock::time_point deadline);

    std::string token_, loginKey_;
    std::chrono::steady_clock::duration loginKeyLasts_;
    std::chrono::steady_clock::time_point loginKeyUntil_;
    std::deque<std::string> sessions_;  // oldest first
    std::vector<std::string> sessionsShown_;  // what Secrets() last handed out
    std::string cookieName_;
    std::uint16_t port_ = 0;
    std::string host_;  // as the link names the station
    std::shared_ptr<const std::string> status_;
    std::string run_;  // this run's name in the events' ids: "RUN.SEQUENCE"
    std::uint64_t sequence_ = 0;
    std::deque<std::pair<std::uint64_t, std::shared_ptr<const std::string>>> recent_;  // oldest first
    bool refreshPosted_ = false;
    bool closing_ = false;
    boost::asio::io_context io_{1};
    boost::asio::ip::tcp::acceptor acceptor_{io_};
    boost::asio::steady_timer heartbeat_{io_};
    boost::asio::steady_timer retry_{io_};
    boost::asio::steady_timer finish_{io_};
    std::thread thread_;
};

// Who a connection comes from, as the bound per peer counts it: "loopback"
// (an IPv4 address mapped into IPv6 as well), an IPv4 address, or an IPv6
// address's /64, which one computer holds whole (its privacy addresses).
std::string PeerOf(const boost::asio::ip::address& peer);

// A server-sent event: `data:` lines (one for each line of `data`), after
// `id: ID` and `event: NAME` when it has them.
std::string ServerSentEvent(std::string_view data, const char* name = nullptr, std::string_view id = {});
