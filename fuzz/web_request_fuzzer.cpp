// The station's server over any request bytes: Beast's parser within the
// server's limits, then the decision on what it parsed, with and without a
// token; and the same bytes as a listen address. Nothing crashes, and no
// decision lets through what its rules refuse.

#include "station/web/page_files.h"
#include "station/web/station_web.h"
#include "station/web/web_request_policy.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace http = boost::beast::http;

namespace {

void Require(bool holds) {
    if (!holds)
        std::abort();
}

constexpr std::string_view kToken = "the-token", kSession = "the-session", kKey = "the-key";

bool Loopback(std::string_view host) {
    return host == "127.0.0.1:8080" || host == "localhost:8080" || host == "[::1]:8080" || host == "127.0.0.2:8080";
}

// "Bearer the-token", the scheme's name in any case.
bool BearerOfTheToken(std::string_view authorization) {
    if (authorization.size() != 16 || authorization.substr(6) != " the-token")
        return false;
    for (std::size_t i = 0; i < 6; ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != "bearer"[i])
            return false;
    return true;
}

void Decide(const WebRequest& request, bool withToken) {
    static const std::vector<std::string> sessions{std::string(kSession), "another-session"};
    static const std::string cookie = SessionCookieName(8080);
    const WebSecrets secrets{8080,
                             withToken ? kToken : "",
                             withToken ? std::span<const std::string>(sessions) : std::span<const std::string>(),
                             cookie,
                             withToken ? kKey : "",
                             "127.0.0.2"};  // the loopback address it listens on
    const WebDecision decision = DecideWebRequest(request, secrets);
    if (decision.route == WebRoute::Refused) {
        Require(decision.status == 401 || decision.status == 403 || decision.status == 404 || decision.status == 405);
        return;
    }
    Require(decision.status == 200);
    if (!withToken)
        Require(Loopback(request.host));
    const bool login = decision.route == WebRoute::Login || decision.route == WebRoute::LoginPage;
    if (withToken && !login)
        Require(BearerOfTheToken(request.authorization) || CookieValue(request.cookie, cookie) == kSession ||
                CookieValue(request.cookie, cookie) == "another-session");
    if (decision.route == WebRoute::LoginPage)
        Require(withToken && request.method == "GET" && request.target == "/login?key=the-key");
    if (decision.route == WebRoute::Login)
        Require(withToken && request.method == "POST" && request.target == "/login" && request.body == "key=the-key");
    if (decision.route == WebRoute::File) {
        Require(FindPageFile(decision.file) != nullptr);
        const std::string_view path = request.target.substr(0, request.target.find('?'));
        Require(path.find("..") == std::string_view::npos && path.find('%') == std::string_view::npos);
    }
    if (decision.route == WebRoute::Link || decision.route == WebRoute::Logout)
        Require(withToken);
    const bool control = decision.route == WebRoute::Pause || decision.route == WebRoute::Resume ||
                         decision.route == WebRoute::Stop || decision.route == WebRoute::Link ||
                         decision.route == WebRoute::Logout;
    if (!login)
        Require(request.method == (control ? "POST" : "GET"));
    if (control)
        Require(request.control == "1" && request.fetchSite != "cross-site" &&
                (request.origin.empty() || request.origin == "http://" + std::string(request.host) ||
                 request.origin == "https://" + std::string(request.host)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(8 * 1024);
    parser.body_limit(4 * 1024);
    parser.eager(true);
    boost::system::error_code error;
    for (std::size_t used = 0; used < size && !error && !parser.is_done();) {
        const std::size_t n = parser.put(boost::asio::buffer(data + used, size - used), error);
        if (n == 0 && !error)
            break;  // needs more than there is
        used += n;
    }
    if (!error && parser.is_header_done()) {
        const auto& request = parser.get();
        const WebRequest asked{request.method_string(), request.target(), request[http::field::host],
                               request[http::field::authorization], request[http::field::cookie],
                               request[http::field::origin], request["Sec-Fetch-Site"],
                               request[kControlHeader], request.body()};
        Decide(asked, false);
        Decide(asked, true);
    }

    std::string why;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto options = ParseListenAddress(text, why)) {
        boost::system::error_code bad;
        boost::asio::ip::make_address(options->address, bad);
        Require(!bad && why.empty());
    } else {
        Require(!why.empty());
    }
    return 0;
}
