#include "station/web/web_connection.h"

#include "station/web/page_files.h"
#include "station/web/web_request_policy.h"

#include <nlohmann/json.hpp>

#include <boost/asio/write.hpp>

#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace net = boost::asio;
namespace http = boost::beast::http;

namespace {

// A refusal's code and its text for the user, by its status (and, for 403,
// why), naming the server as its site names itself ("station").
struct Refusal {
    const char* error;
    std::string message;
};

Refusal RefusalOf(unsigned status, std::string_view why = {}, const WebSiteTexts& texts = {"station", "", ""}) {
    const std::string server(texts.server);
    switch (status) {
    case 400: return {"badRequest", "The request could not be read."};
    case 401:
        return {"tokenNeeded", "This " + server + " asks for its token: send it as \"Authorization: Bearer TOKEN\", or "
                               "open a link from the " + server + " (POST /api/link with the token makes one)."};
    case 403:
        if (why == "otherHost")
            return {"otherHost", "This " + server + " answers only requests that name it by its loopback address "
                                 "(127.0.0.1, [::1] or localhost) and its port."};
        if (why == "otherSite")
            return {"otherSite", "Refused: the request came from another site's page."};
        if (why == "noControlHeader")
            return {"noControlHeader",
                    "A control request must carry the header \"X-Quorvella-Control: 1\": add it (curl -H "
                    "'X-Quorvella-Control: 1')."};
        if (why == "linkNotValid")
            return {"linkNotValid", "This link was used already, has expired (a link works for 5 minutes), or is not "
                                    "this " + server + "'s: ask the " + server +
                                    " for a new one (POST /api/link with its token)."};
        return {"refused", "Refused."};
    case 404: return {"notFound", "Not found."};
    case 405: return {"wrongMethod", "Not with this method: the controls take POST, everything else GET."};
    case 413: return {"bodyTooLarge", "The request's body is too large."};
    case 431: return {"headerTooLarge", "The request's header is too large."};
    default: return {"error", "The request failed."};
    }
}

std::string Json(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ErrorJson(const Refusal& refusal) {
    return Json({{"error", refusal.error}, {"message", refusal.message}});
}

// GET of the one-time link: a page whose button posts the key, so that a link
// preview or a scanner that only fetches it spends nothing. The key is
// hexadecimal (it was checked), so it needs no escaping.
std::string LoginPage(std::string_view key, const WebSiteTexts& texts) {
    const std::string page(texts.page);
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + std::string(texts.title) +
           ": log in</title></head><body><form method=\"post\" action=\"/login\"><input type=\"hidden\" "
           "name=\"key\" value=\"" +
           std::string(key) + "\"><p>This link lets one browser into " + page +
           ", once.</p><button id=\"login\" type=\"submit\">Open " + page + "</button></form></body></html>\n";
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

WebConnection::WebConnection(net::ip::tcp::socket socket, WebServer& web)
    : web_(web), socket_(std::move(socket)) {
    boost::system::error_code unknown;
    address = socket_.socket().remote_endpoint(unknown).address();
    peer = PeerOf(address);
    web_.connections.insert(this);
}

WebConnection::~WebConnection() { web_.connections.erase(this); }

void WebConnection::Start() { Read(); }

void WebConnection::MustShowToken(std::chrono::steady_clock::duration within) { tokenWithin_ = within; }

void WebConnection::Close() {
    if (closed_)
        return;
    closed_ = true;
    if (giveUp_)
        giveUp_->cancel();
    if (answerWait_)
        answerWait_->cancel();
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
    if (tokenWithin_)
        socket_.expires_after(*tokenWithin_);
    else
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
        return Reply(431, "application/json", ErrorJson(RefusalOf(431)), false);
    if (error == http::error::body_limit)
        return Reply(413, "application/json", ErrorJson(RefusalOf(413)), false);
    // What is no request at all (a client gone, the time to send one up) is let go without an answer.
    const bool malformed = error.category() == http::make_error_code(http::error::bad_target).category() &&
                           error != http::error::end_of_stream && error != http::error::partial_message;
    if (!malformed)
        return Close();
    Reply(400, "application/json", ErrorJson(RefusalOf(400)), false);
}

void WebConnection::Answer(const Request& request) {
    const WebRequest asked{
        request.method_string(),        request.target(),
        request[http::field::host],     request[http::field::authorization],
        request[http::field::cookie],   request[http::field::origin],
        request["Sec-Fetch-Site"],      request[kControlHeader],
        request.body(),
    };
    const WebSecrets secrets = web_.Secrets();
    const WebDecision decision = DecideWebRequest(asked, secrets, web_.site.Map());
    // On a place kept for the token a request that shows neither it nor a
    // session's cookie (a refusal, the link's pages) keeps it no longer than its answer.
    const bool authorized = decision.route != WebRoute::Refused && decision.route != WebRoute::LoginPage &&
                            decision.route != WebRoute::Login;
    const bool keepAlive = request.keep_alive() && (!tokenWithin_ || authorized);
    if (authorized)
        tokenWithin_.reset();
    constexpr std::string_view json = "application/json";
    // Who asked, as the events tell it: the page's script (the browser says
    // it came from the page's own origin), else a client of the API.
    const std::string by = std::string(asked.fetchSite == "same-origin" ? "the page" : "the API") + " from " +
                           address.to_string();
    const auto command = [&](const CommandAnswer& answer) {
        if (answer.changed)
            return Reply(200, json, Json({{"state", answer.state}}), keepAlive);
        Reply(409, json,
              Json({{"error", "unchanged"},
                    {"message", "Nothing changed: the station is " + answer.state + " already."},
                    {"state", answer.state}}),
              keepAlive);
    };
    switch (decision.route) {
    case WebRoute::Refused: {
        Response response{static_cast<http::status>(decision.status), request.version()};
        const Refusal refusal = RefusalOf(static_cast<unsigned>(decision.status), decision.error, web_.site.Texts());
        if (decision.status == 401)
            response.set(http::field::www_authenticate, "Bearer");
        if (request.target().substr(0, 6) == "/login") {  // a person's browser, at a link
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            response.body() = refusal.message + "\n";
        } else {
            response.set(http::field::content_type, json);
            response.body() = ErrorJson(refusal);
        }
        // A refused client gets no second request on this connection: one
        // that keeps asking cannot hold a place that a token holder needs.
        return Reply(std::move(response), false);
    }
    case WebRoute::File: {
        const PageFile* file = FindPageFile(web_.site.Map().files, decision.file);
        return Reply(200, file->contentType, std::string(file->bytes), keepAlive);
    }
    case WebRoute::Status: return Reply(200, json, web_.site.StatusJson(), keepAlive);
    case WebRoute::Records: {
        std::size_t dropped = 0;
        Response response{http::status::ok, request.version()};
        response.set(http::field::content_type, json);
        response.body() = web_.site.RecordsJson(QueryValue(request.target(), "since"), dropped);
        if (dropped)  // the oldest went, past the records kept: said, never left to be guessed
            response.set("X-Quorvella-Records-Dropped", std::to_string(dropped));
        return Reply(std::move(response), keepAlive);
    }
    case WebRoute::Search: return Search(request.target(), keepAlive);
    case WebRoute::Pause:
    case WebRoute::Resume:
    case WebRoute::Stop: return command(web_.site.Command(decision.route, by));
    case WebRoute::Link: return Reply(200, json, Json({{"link", web_.NewLink(request[http::field::host])}}), keepAlive);
    case WebRoute::LoginPage:
        return Reply(200, "text/html; charset=utf-8", LoginPage(secrets.loginKey, web_.site.Texts()), keepAlive);
    case WebRoute::Login: {
        Response response{http::status::see_other, request.version()};
        response.set(http::field::location, "/");
        // Lax: sent when the browser goes to the page; control requests from
        // other sites are refused by their origin and their missing header.
        response.set(http::field::set_cookie,
                     std::string(secrets.cookieName) + "=" + web_.NewSession() + "; Path=/; HttpOnly; SameSite=Lax");
        return Reply(std::move(response), keepAlive);
    }
    case WebRoute::Logout: {
        // With the token itself every session ends; with a cookie, its own.
        const std::string_view session = CookieValue(asked.cookie, secrets.cookieName);
        const bool everyone = asked.authorization.size() > 7 && session.empty();
        web_.EndSessions(everyone ? std::string_view{} : session);
        Response response{http::status::ok, request.version()};
        response.set(http::field::content_type, json);
        response.set(http::field::set_cookie, std::string(secrets.cookieName) + "=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0");
        response.body() = Json({{"loggedOut", everyone ? "every session" : "this session"}});
        return Reply(std::move(response), keepAlive);
    }
    case WebRoute::StatusStream: return Follow(Stream::Status, request.version());
    case WebRoute::Events: return Follow(Stream::Events, request.version(), request["Last-Event-ID"]);
    }
}

// The site answers on a thread of its own; the answer comes back to the
// server's thread, for this connection if it is still there. What does not
// come within the bound is answered 504, and whatever comes later dropped.
void WebConnection::Search(std::string_view target, bool keepAlive) {
    answerWait_.emplace(socket_.get_executor(), WebServer::kSearchWithin);
    // The connection ends with the 504: a late answer is never taken for the
    // answer to a next search on it.
    answerWait_->async_wait([self = shared_from_this()](boost::system::error_code error) {
        if (error || self->closed_ || !self->answerWait_)
            return;
        self->answerWait_.reset();
        self->Reply(504, "application/json", self->web_.site.NoAnswerJson(), false);
    });
    std::weak_ptr<WebConnection> weak = weak_from_this();
    web_.site.Search(target, [gate = web_.gate, weak, keepAlive](WebReply reply) {
        const std::lock_guard lock(gate->mutex);
        if (!gate->io)
            return;
        net::post(*gate->io, [weak, keepAlive, reply = std::move(reply)]() mutable {
            const auto self = weak.lock();
            if (!self || self->closed_ || !self->answerWait_)
                return;
            self->answerWait_->cancel();
            self->answerWait_.reset();
            self->Reply(reply.status, "application/json", std::move(reply.json), keepAlive);
        });
    });
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
void WebConnection::Follow(Stream stream, unsigned version, std::string_view lastEventId) {
    stream_ = stream;
    streamHeader_.emplace(http::status::ok, version);
    streamHeader_->set(http::field::content_type, "text/event-stream");
    Guard(*streamHeader_);
    streamHeader_->keep_alive(false);
    streamSerializer_.emplace(*streamHeader_);
    if (stream == Stream::Status)
        queue_.push_back(web_.FreshStatus());
    else
        for (auto& missed : web_.Replay(lastEventId))
            queue_.push_back(std::move(missed));
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
    if (finishing_)
        return;
    if (queue_.size() >= kQueueLimit) {
        // What it has not taken is let go; it hears why, if it takes that
        // within a second, and may come back with its Last-Event-ID.
        static const auto overflow = std::make_shared<const std::string>(ServerSentEvent(
            R"({"error":"overflow","message":"This client fell behind and is let go: connect again with the )"
            R"(Last-Event-ID last received to hear what it missed."})",
            "overflow"));
        queue_.clear();
        queue_.push_back(overflow);
        finishing_ = true;
        giveUp_.emplace(socket_.get_executor(), std::chrono::seconds(1));
        giveUp_->async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error)
                self->Close();
        });
        return Send();
    }
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
