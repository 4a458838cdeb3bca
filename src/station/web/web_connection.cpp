#include "station/web/web_connection.h"

#include "station/web/page_files.h"
#include "station/station_board.h"
#include "station/web/web_request_policy.h"

#include <nlohmann/json.hpp>

#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace net = boost::asio;
namespace http = boost::beast::http;

namespace {

const char* Reason(unsigned status) {
    switch (status) {
    case 400: return "The request could not be read.\n";
    case 401: return "This station asks for its token: open the link it printed when it started.\n";
    case 403: return "Refused.\n";
    case 404: return "Not found.\n";
    case 405: return "Not with this method.\n";
    case 413: return "The request's body is too large.\n";
    case 431: return "The request's header is too large.\n";
    default: return "\n";
    }
}

// Every answer: nothing of it kept by a cache, taken for another type or shown in another site's frame.
template <class Message>
void Guard(Message& message) {
    message.set(http::field::cache_control, "no-store");
    message.set("X-Content-Type-Options", "nosniff");
    // The page runs only what the station serves: nothing inline, nothing from elsewhere.
    message.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
}

}  // namespace

WebConnection::WebConnection(net::ip::tcp::socket socket, StationWeb::Impl& web)
    : web_(web), socket_(std::move(socket)) {
    boost::system::error_code unknown;
    peer = socket_.socket().remote_endpoint(unknown).address();
    web_.connections.insert(this);
}

WebConnection::~WebConnection() { web_.connections.erase(this); }

void WebConnection::Start() { Read(); }

void WebConnection::Close() {
    if (closed_)
        return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    socket_.close();
}

void WebConnection::Finish() {
    finishing_ = true;
    if (stream_ == Stream::None)
        return Close();
    Send();
}

void WebConnection::Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    socket_.expires_after(kRequestTime);
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](boost::system::error_code error, std::size_t) { self->OnRead(error); });
}

void WebConnection::OnRead(boost::system::error_code error) {
    if (closed_)
        return;
    if (!error)
        return Answer(parser_->get());
    if (error == http::error::header_limit || error == http::error::buffer_overflow)
        return Reply(431, "text/plain", Reason(431), false);
    if (error == http::error::body_limit)
        return Reply(413, "text/plain", Reason(413), false);
    // What is no request at all (a client gone, the time to send one up) is let go without an answer.
    const bool malformed = error.category() == http::make_error_code(http::error::bad_target).category() &&
                           error != http::error::end_of_stream && error != http::error::partial_message;
    if (!malformed)
        return Close();
    Reply(400, "text/plain", Reason(400), false);
}

void WebConnection::Answer(const Request& request) {
    const WebRequest asked{
        request.method_string(),        request.target(),
        request[http::field::host],     request[http::field::authorization],
        request[http::field::cookie],   request[http::field::origin],
        request["Sec-Fetch-Site"],
    };
    const WebDecision decision = DecideWebRequest(asked, web_.Secrets());
    const bool keepAlive = request.keep_alive();
    constexpr std::string_view json = "application/json";
    switch (decision.route) {
    case WebRoute::Refused: {
        Response response{static_cast<http::status>(decision.status), request.version()};
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        if (decision.status == 401)
            response.set(http::field::www_authenticate, "Bearer");
        response.body() = Reason(static_cast<unsigned>(decision.status));
        if (decision.status == 403 && request.target().substr(0, 7) == "/login?")
            response.body() = "This link was used already, or is not this station's: ask the station for a new one "
                              "(POST /api/link with its token).\n";
        // A refused client gets no second request on this connection: one
        // that keeps asking cannot hold a place that a token holder needs.
        return Reply(std::move(response), false);
    }
    case WebRoute::File: {
        const PageFile* file = FindPageFile(decision.file);
        return Reply(200, file->contentType, std::string(file->bytes), keepAlive);
    }
    case WebRoute::Status: return Reply(200, json, web_.board.StatusJson(std::chrono::system_clock::now()), keepAlive);
    case WebRoute::Records: return Reply(200, json, web_.board.RecordsJson(), keepAlive);
    case WebRoute::Pause: web_.commands.Pause(); return Reply(200, json, R"({"ok":true})", keepAlive);
    case WebRoute::Resume: web_.commands.Resume(); return Reply(200, json, R"({"ok":true})", keepAlive);
    case WebRoute::Stop: web_.commands.Stop(); return Reply(200, json, R"({"ok":true})", keepAlive);
    case WebRoute::Link:
        return Reply(200, json, nlohmann::json{{"link", web_.NewLink(request[http::field::host])}}.dump(
                                   -1, ' ', false, nlohmann::json::error_handler_t::replace), keepAlive);
    case WebRoute::Login: {
        web_.LoginKeyUsed();
        Response response{http::status::see_other, request.version()};
        response.set(http::field::location, "/");
        // Lax: sent when the browser goes to the page from the link; control
        // requests from other sites are refused by their origin.
        response.set(http::field::set_cookie, std::string(kSessionCookie) + "=" + std::string(web_.Secrets().session) +
                                                  "; Path=/; HttpOnly; SameSite=Lax");
        return Reply(std::move(response), keepAlive);
    }
    case WebRoute::StatusStream: return Follow(Stream::Status, request.version());
    case WebRoute::Events: return Follow(Stream::Events, request.version());
    }
}

void WebConnection::Reply(unsigned status, std::string_view type, std::string body, bool keepAlive) {
    Response response{static_cast<http::status>(status), 11};
    response.set(http::field::content_type, type);
    response.body() = std::move(body);
    Reply(std::move(response), keepAlive);
}

void WebConnection::Reply(Response response, bool keepAlive) {
    Guard(response);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    response_ = std::move(response);
    socket_.expires_after(kRequestTime);
    http::async_write(socket_, *response_, [self = shared_from_this(), keepAlive](boost::system::error_code error, std::size_t) {
        if (error || self->closed_)
            return self->Close();
        if (!keepAlive)
            return self->Linger();
        self->Read();
    });
}

// The answer's end is sent; what the client still sends (the rest of a body
// too large) is read and dropped for a moment, since closing on unread bytes
// would reset the connection and lose the answer on its way.
void WebConnection::Linger() {
    boost::system::error_code ignored;
    socket_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    socket_.expires_after(std::chrono::seconds(1));
    Drain();
}

void WebConnection::Drain() {
    socket_.async_read_some(net::buffer(scrap_), [self = shared_from_this()](boost::system::error_code error, std::size_t) {
        if (error || self->closed_)
            return self->Close();
        self->Drain();
    });
}

// A stream's body has no length: it ends when the connection does.
void WebConnection::Follow(Stream stream, unsigned version) {
    stream_ = stream;
    streamHeader_.emplace(http::status::ok, version);
    streamHeader_->set(http::field::content_type, "text/event-stream");
    Guard(*streamHeader_);
    streamHeader_->keep_alive(false);
    streamSerializer_.emplace(*streamHeader_);
    if (stream == Stream::Status)
        queue_.push_back(web_.FreshStatus());
    writing_ = true;
    socket_.expires_after(kRequestTime);
    http::async_write_header(socket_, *streamSerializer_, [self = shared_from_this()](boost::system::error_code error, std::size_t) {
        self->writing_ = false;
        if (error)
            return self->Close();
        self->socket_.expires_never();
        self->Watch();
        self->Send();
    });
}

// A stream reads nothing more of its client, but hears at once when the client
// goes; the pending read also keeps the connection alive between messages.
void WebConnection::Watch() {
    socket_.async_read_some(net::buffer(scrap_), [self = shared_from_this()](boost::system::error_code error, std::size_t) {
        if (error || self->closed_)
            return self->Close();
        self->Watch();
    });
}

void WebConnection::StatusChanged() {
    if (stream_ != Stream::Status)
        return;
    statusWanted_ = true;
    Send();
}

void WebConnection::Event(const std::shared_ptr<const std::string>& message) {
    if (stream_ != Stream::Events || closed_)
        return;
    if (queue_.size() >= kQueueLimit)
        return Close();
    queue_.push_back(message);
    Send();
}

void WebConnection::Heartbeat() {
    static const auto comment = std::make_shared<const std::string>(":\n\n");
    if (stream_ == Stream::None || writing_ || statusWanted_ || !queue_.empty())
        return;
    queue_.push_back(comment);
    Send();
}

void WebConnection::Send() {
    if (writing_ || closed_)
        return;
    if (!queue_.empty()) {
        sending_ = std::move(queue_.front());
        queue_.pop_front();
    } else if (statusWanted_) {
        statusWanted_ = false;
        sending_ = web_.NewestStatus();
    } else {
        if (finishing_)
            Close();
        return;
    }
    writing_ = true;
    socket_.expires_after(kRequestTime);
    net::async_write(socket_, net::buffer(*sending_), [self = shared_from_this()](boost::system::error_code error, std::size_t) {
        self->writing_ = false;
        if (error)
            return self->Close();
        self->Send();
    });
}
