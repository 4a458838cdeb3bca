#include "station/web/web_server.h"

#include "station/web/random_key.h"
#include "station/web/web_connection.h"
#include "station/web/web_request_policy.h"

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>

#include <nlohmann/json.hpp>

#include <charconv>
#include <stdexcept>
#include <vector>

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string ServerSentEvent(std::string_view data, const char* name, std::string_view id) {
    std::string message = id.empty() ? std::string() : "id: " + std::string(id) + "\n";
    if (name)
        message += std::string("event: ") + name + "\n";
    if (!data.empty() && data.back() == '\n')
        data.remove_suffix(1);
    do {
        const auto end = data.find('\n');
        message.append("data: ").append(data.substr(0, end)).append("\n");
        data = end == std::string_view::npos ? std::string_view{} : data.substr(end + 1);
    } while (!data.empty());
    return message + "\n";
}

WebServer::WebServer(const WebOptions& options, WebSite& s) : site(s) {
    boost::system::error_code error;
    const auto address = net::ip::make_address(options.address, error);
    if (error)
        throw std::runtime_error("--http: \"" + options.address + "\" is no IP address");
    if (!address.is_loopback() && (!options.token || options.token->empty()))
        throw std::runtime_error("--http: listening on " + options.address +
                                 " lets other machines in: give the token they must show with --http-token FILE");
    loginKeyLasts_ = options.loginKeyLasts;
    if (options.token) {
        token_ = *options.token;
        loginKey_ = RandomKey();
        loginKeyUntil_ = std::chrono::steady_clock::now() + loginKeyLasts_;
    }

    const tcp::endpoint endpoint(address, options.port);
    const std::string where = (address.is_v6() ? "[" + options.address + "]" : options.address) + ":" +
                              std::to_string(options.port);
    acceptor_.open(endpoint.protocol(), error);
#ifndef _WIN32
    // Windows' SO_REUSEADDR would let another program take the port as well.
    if (!error)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
#endif
    if (!error)
        acceptor_.bind(endpoint, error);
    if (!error)
        acceptor_.listen(net::socket_base::max_listen_connections, error);
    if (error)
        throw std::runtime_error("--http: cannot listen on " + where + ": " + error.message());
    port_ = acceptor_.local_endpoint().port();
    run_ = RandomKey().substr(0, 16);
    cookieName_ = SessionCookieName(port_);

    // Listening on every address, the link names this computer, which other
    // desks can reach, not 0.0.0.0.
    boost::system::error_code unnamed;
    const std::string name = address.is_unspecified() ? net::ip::host_name(unnamed) : std::string();
    const std::string host = !name.empty() && !unnamed ? name
                             : address.is_v6()        ? "[" + address.to_string() + "]"
                                                      : address.to_string();
    host_ = address.is_loopback() ? host : std::string();  // an address, never a name that can be rebound
    url = "http://" + host + ":" + std::to_string(port_) + "/";
    link = token_.empty() ? url : url + "login?key=" + loginKey_;

    gate->io = &io_;
    Accept();
    Beat();
    thread_ = std::thread([this] {
        while (true) {
            try {
                io_.run();
                return;
            } catch (const std::exception&) {
                // What one request could not be answered with ends that request alone.
            }
        }
    });
}

WebServer::~WebServer() {
    net::post(io_, [this] {
        closing_ = true;
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        heartbeat_.cancel();
        retry_.cancel();
        // The browsers following the station are sent the board as it ended
        // (the station stopped, and why), then their connections end.
        FreshStatus();
        const std::vector<WebConnection*> open(connections.begin(), connections.end());
        for (WebConnection* connection : open) {
            connection->StatusChanged();
            connection->Finish();
        }
        AwaitClosed(std::chrono::steady_clock::now() + kFinishWithin);
    });
    thread_.join();
    const std::lock_guard lock(gate->mutex);
    gate->io = nullptr;
}

void WebServer::AwaitClosed(std::chrono::steady_clock::time_point deadline) {
    if (!connections.empty() && std::chrono::steady_clock::now() < deadline) {
        finish_.expires_after(std::chrono::milliseconds(10));
        finish_.async_wait([this, deadline](boost::system::error_code) { AwaitClosed(deadline); });
        return;
    }
    const std::vector<WebConnection*> open(connections.begin(), connections.end());
    for (WebConnection* connection : open)
        connection->Close();
    // What the closed connections still had under way is let go of with the io_context.
    io_.stop();
}

std::string WebServer::NewLink(std::string_view host) {
    loginKey_ = RandomKey();
    loginKeyUntil_ = std::chrono::steady_clock::now() + loginKeyLasts_;
    return "http://" + std::string(host) + "/login?key=" + loginKey_;
}

void WebServer::Tell(const std::string& eventLine) {
    net::post(io_, [this, eventLine] {
        // Numbered on the server's thread, in the order told.
        ++sequence_;
        auto message = std::make_shared<const std::string>(
            ServerSentEvent(eventLine, nullptr, run_ + "." + std::to_string(sequence_)));
        recent_.emplace_back(sequence_, message);
        if (recent_.size() > kEventsKept)
            recent_.pop_front();
        for (WebConnection* connection : connections)
            connection->Event(message);
        BoardChanged();
    });
}

std::vector<std::shared_ptr<const std::string>> WebServer::Replay(std::string_view lastEventId) const {
    std::vector<std::shared_ptr<const std::string>> missed;
    if (lastEventId.empty())
        return missed;
    const auto dot = lastEventId.find('.');
    std::uint64_t seen = 0;
    const std::string_view number = dot == std::string_view::npos ? std::string_view{} : lastEventId.substr(dot + 1);
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), seen);
    if (lastEventId.substr(0, dot) != run_ || error != std::errc{} || end != number.data() + number.size() ||
        seen > sequence_) {
        // Another run (the station started again): what it told is gone with it.
        missed.push_back(std::make_shared<const std::string>(
            ServerSentEvent(nlohmann::json{{"run", run_}}.dump(), "newRun")));
        return missed;
    }
    const std::uint64_t oldest = recent_.empty() ? sequence_ + 1 : recent_.front().first;
    if (seen + 1 < oldest)
        missed.push_back(std::make_shared<const std::string>(
            ServerSentEvent(nlohmann::json{{"missed", oldest - seen - 1}}.dump(), "gap")));
    for (const auto& [sequence, message] : recent_)
        if (sequence > seen)
            missed.push_back(message);
    return missed;
}

WebSecrets WebServer::Secrets() {
    if (!loginKey_.empty() && std::chrono::steady_clock::now() >= loginKeyUntil_)
        loginKey_.clear();
    sessionsShown_.assign(sessions_.begin(), sessions_.end());
    return {port_, token_, sessionsShown_, cookieName_, loginKey_, host_};
}

std::string WebServer::NewSession() {
    loginKey_.clear();
    sessions_.push_back(RandomKey());
    if (sessions_.size() > kMaxSessions)
        sessions_.pop_front();
    return sessions_.back();
}

void WebServer::EndSessions(std::string_view value) {
    if (value.empty())
        sessions_.clear();
    else
        std::erase(sessions_, value);
}

void WebServer::ReplaceToken(std::string token) {
    net::post(io_, [this, token = std::move(token)]() mutable {
        token_ = std::move(token);
        sessions_.clear();
        loginKey_.clear();
    });
}

std::shared_ptr<const std::string> WebServer::FreshStatus() {
    status_ = std::make_shared<const std::string>(
        ServerSentEvent(site.StatusJson(), "status"));
    return status_;
}

// A burst of events makes one status: the refresh runs after the events
// already posted.
void WebServer::BoardChanged() {
    if (refreshPosted_)
        return;
    refreshPosted_ = true;
    net::post(io_, [this] {
        refreshPosted_ = false;
        bool followed = false;
        for (WebConnection* connection : connections)
            followed = followed || connection->FollowsStatus();
        if (!followed)
            return;
        FreshStatus();
        for (WebConnection* connection : connections)
            connection->StatusChanged();
    });
}

void WebServer::Accept() {
    acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (closing_ || !acceptor_.is_open())
            return;
        if (error) {
            // Out of descriptors, say: try again soon rather than at once and for ever.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](boost::system::error_code waited) {
                if (!waited && !closing_)
                    Accept();
            });
            return;
        }
        boost::system::error_code unknown;
        const Place place = Room(socket.remote_endpoint(unknown).address());
        if (place != Place::None && !unknown) {
            auto connection = std::make_shared<WebConnection>(std::move(socket), *this);
            if (place == Place::ForToken)
                connection->MustShowToken(kTokenWithin);
            connection->Start();
        }
        // Beyond the bound the socket is closed as it goes out of scope.
        Accept();
    });
}

std::string PeerOf(const net::ip::address& peer) {
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        return PeerOf(net::ip::make_address_v4(net::ip::v4_mapped, peer.to_v6()));
    if (peer.is_loopback())
        return "loopback";
    if (peer.is_v4())
        return peer.to_string();
    auto bytes = peer.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return net::ip::address_v6(bytes).to_string() + "/64";
}

WebServer::Place WebServer::Room(const net::ip::address& address) const {
    if (connections.size() >= kMaxConnections)
        return Place::None;
    const std::string peer = PeerOf(address);
    if (peer == "loopback")
        return Place::Open;
    std::size_t fromPeer = 0;
    for (const WebConnection* connection : connections)
        fromPeer += connection->peer == peer;
    if (fromPeer >= kMaxPerPeer)
        return Place::None;
    if (connections.size() < kMaxConnections - kKeptForToken)
        return Place::Open;
    return token_.empty() ? Place::None : Place::ForToken;
}

void WebServer::Beat() {
    heartbeat_.expires_after(kHeartbeat);
    heartbeat_.async_wait([this](boost::system::error_code error) {
        if (error || closing_)
            return;
        for (WebConnection* connection : connections)
            connection->Heartbeat();
        Beat();
    });
}
