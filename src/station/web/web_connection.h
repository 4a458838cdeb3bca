#pragma once

#include "station/web/web_server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// One browser's connection on the server's thread: its requests, read by
// Beast's parser within bounds and answered as DecideWebRequest says; or,
// once it asks for a stream, the stream's messages through a bounded queue.
class WebConnection : public std::enable_shared_from_this<WebConnection> {
public:
    static constexpr std::size_t kHeaderLimit = 8192;  // bytes; beyond: 431
    static constexpr std::size_t kBodyLimit = 4096;    // bytes; beyond: 413
    static constexpr auto kRequestTime = std::chrono::seconds(10);  // to send a request, or to take a write
    static constexpr std::size_t kQueueLimit = 1024;       // an events stream's messages not yet taken

    WebConnection(boost::asio::ip::tcp::socket socket, WebServer& web);
    ~WebConnection();
    WebConnection(const WebConnection&) = delete;
    WebConnection& operator=(const WebConnection&) = delete;

    void Start();
    void Close();
    // The server is closing: a stream ends once what it has to send is sent,
    // anything else at once.
    void Finish();

    bool FollowsStatus() const { return stream_ == Stream::Status; }
    void StatusChanged();  // the newest status goes once the last one was taken: no backlog
    // An events stream that overflows is told so, then dropped.
    void Event(const std::shared_ptr<const std::string>& message);
    void Heartbeat();      // a comment on a stream with nothing to send

    boost::asio::ip::address address;  // where the connection comes from
    std::string peer;                  // who, as PeerOf tells it

    // On a place kept for the token: its first request must come within
    // `within` and carry the token (or the session's cookie), or it is closed.
    void MustShowToken(std::chrono::steady_clock::duration within);

private:
    enum class Stream { None, Status, Events };
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void Read();
    void OnRead(boost::system::error_code error);
    void Answer(const Request& request);
    void Search(std::string_view target, bool keepAlive);
    void Reply(unsigned status, std::string_view type, std::string body, bool keepAlive);
    void Reply(Response response, bool keepAlive);
    void Follow(Stream stream, unsigned version, std::string_view lastEventId = {});
    void Linger();
    void Drain();
    void Watch();
    void Send();

    WebServer& web_;
    boost::beast::tcp_stream socket_;
    boost::beast::flat_buffer buffer_{2 * kHeaderLimit + kBodyLimit};
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::optional<Response> response_;
    Stream stream_ = Stream::None;
    std::optional<boost::beast::http::response<boost::beast::http::empty_body>> streamHeader_;
    std::optional<boost::beast::http::response_serializer<boost::beast::http::empty_body>> streamSerializer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::shared_ptr<const std::string> sending_;
    std::array<char, 512> scrap_{};
    std::optional<boost::asio::steady_timer> giveUp_;  // an overflowed stream's last second
    std::optional<boost::asio::steady_timer> answerWait_;  // a search under way: its bound
    bool writing_ = false, statusWanted_ = false, closed_ = false, finishing_ = false;
    std::optional<std::chrono::steady_clock::duration> tokenWithin_;
};
