#include "station/web/web_request_policy.h"

#include "station/web/page_files.h"

#include <array>
#include <cctype>
#include <charconv>

namespace {

using Api = WebApi;

// Every site's: its sessions.
constexpr std::array kServerApi{
    Api{"/api/link", WebRoute::Link, true},
    Api{"/api/logout", WebRoute::Logout, true},
};

constexpr std::array kStationApi{
    Api{"/api/status", WebRoute::Status, false},
    Api{"/api/status/stream", WebRoute::StatusStream, false},
    Api{"/api/events", WebRoute::Events, false},
    Api{"/api/records", WebRoute::Records, false},
    Api{"/api/pause", WebRoute::Pause, true},
    Api{"/api/resume", WebRoute::Resume, true},
    Api{"/api/stop", WebRoute::Stop, true},
};

WebDecision Refuse(int status, std::string_view error = {}) { return {WebRoute::Refused, status, {}, error}; }

// Without a token only a page the browser took from loopback may read the
// station: a page of another name that resolves to 127.0.0.1 (DNS rebinding)
// sends its own name. An address is never rebound as a name is, so the
// loopback address the station listens on names it as well as 127.0.0.1 does.
bool NamesLoopback(std::string_view host, std::uint16_t port, std::string_view ownHost) {
    const std::string suffix = ":" + std::to_string(port);
    using namespace std::string_view_literals;
    for (std::string_view name : {"127.0.0.1"sv, "localhost"sv, "[::1]"sv, ownHost}) {
        if (name.empty())
            continue;
        if (host == std::string(name) + suffix || (port == 80 && host == name))
            return true;
    }
    return false;
}

}  // namespace

const WebSiteMap& StationSiteMap() {
    static const WebSiteMap map{kStationApi, PageFiles()};
    return map;
}

std::string QueryValue(std::string_view target, std::string_view name) {
    const auto question = target.find('?');
    std::string_view query = question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
        if (pair.size() <= name.size() || pair.substr(0, name.size()) != name || pair[name.size()] != '=')
            continue;
        std::string value;
        for (std::size_t i = name.size() + 1; i < pair.size(); ++i) {
            unsigned byte = 0;
            const char* digits = pair.data() + i + 1;
            if (pair[i] == '%' && i + 2 < pair.size() && std::from_chars(digits, digits + 2, byte, 16).ptr == digits + 2) {
                value += static_cast<char>(byte);
                i += 2;
            } else {
                value += pair[i];
            }
        }
        return value;
    }
    return {};
}

std::string SessionCookieName(std::uint16_t port) { return "qefftool_session_" + std::to_string(port); }

std::string_view CookieValue(std::string_view cookies, std::string_view name) {
    while (!cookies.empty()) {
        const auto end = cookies.find(';');
        std::string_view pair = cookies.substr(0, end);
        cookies = end == std::string_view::npos ? std::string_view{} : cookies.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return pair.substr(name.size() + 1);
    }
    return {};
}

namespace {

// The scheme's name in any case, as HTTP's authentication takes it.
bool BearerScheme(std::string_view authorization) {
    constexpr std::string_view bearer = "bearer ";
    if (authorization.size() < bearer.size())
        return false;
    for (std::size_t i = 0; i < bearer.size(); ++i)
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(authorization[i]))) != bearer[i])
            return false;
    return true;
}

bool Authorized(const WebRequest& request, const WebSecrets& secrets) {
    constexpr std::size_t scheme = 7;  // "Bearer "
    if (BearerScheme(request.authorization) && SameSecret(request.authorization.substr(scheme), secrets.token))
        return true;
    const std::string_view session = CookieValue(request.cookie, secrets.cookieName);
    bool known = false;
    for (const std::string& given : secrets.sessions)
        known = SameSecret(session, given) || known;  // each compared: the time tells nothing of which
    return known;
}

// Another site's page (a form posted to the station, a fetch) is refused even
// when the browser sends the cookie with it. Its own page may come through a
// TLS proxy that passes the browser's Host: https:// is the same station.
bool FromOtherSite(const WebRequest& request) {
    const std::string host(request.host);
    return request.fetchSite == "cross-site" ||
           (!request.origin.empty() && request.origin != "http://" + host && request.origin != "https://" + host);
}


}  // namespace

bool SameSecret(std::string_view a, std::string_view b) {
    // Only the length may tell: the secrets' lengths are no secret.
    if (a.size() != b.size() || b.empty())
        return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

WebDecision DecideWebRequest(const WebRequest& request, const WebSecrets& secrets, const WebSiteMap& site) {
    const bool withToken = !secrets.token.empty();
    if (!withToken && !NamesLoopback(request.host, secrets.port, secrets.ownHost))
        return Refuse(403, "otherHost");

    const auto question = request.target.find('?');
    const std::string_view path = request.target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view{} : request.target.substr(question + 1);

    if (path == "/login") {
        if (!withToken)
            return Refuse(404);
        const bool post = request.method == "POST";
        if (!post && request.method != "GET")
            return Refuse(405);
        // GET only shows the page; its form's POST, from that page alone, spends the key.
        if (post && FromOtherSite(request))
            return Refuse(403, "otherSite");
        constexpr std::string_view key = "key=";
        const std::string_view given = post ? request.body : query;
        const bool right = given.substr(0, key.size()) == key && !secrets.loginKey.empty() &&
                           SameSecret(given.substr(key.size()), secrets.loginKey);
        if (!right)
            return Refuse(403, "linkNotValid");
        return {post ? WebRoute::Login : WebRoute::LoginPage, 200, {}, {}};
    }
    if (withToken && !Authorized(request, secrets))
        return Refuse(401);
    if ((path == "/api/link" || path == "/api/logout") && !withToken)
        return Refuse(404);  // without a token, there is nothing to log in with

    const auto find = [&]() -> const Api* {
        for (const Api& api : kServerApi)
            if (path == api.path)
                return &api;
        for (const Api& api : site.api)
            if (path == api.path)
                return &api;
        return nullptr;
    };
    if (const Api* found = find()) {
        const Api& api = *found;
        if (request.method != (api.control ? "POST" : "GET"))
            return Refuse(405);
        // A control request carries the header no form can send; with it, a
        // script of another site would have had to ask the browser first,
        // which the station never lets it.
        if (api.control && FromOtherSite(request))
            return Refuse(403, "otherSite");
        if (api.control && request.control != "1")
            return Refuse(403, "noControlHeader");
        return {api.route, 200, {}, {}};
    }

    // The page's files by their exact names: nothing of the path is decoded,
    // and nothing of it reaches the file system.
    if (path.empty() || path.front() != '/')
        return Refuse(404);
    const std::string_view name = path == "/" ? std::string_view{"index.html"} : path.substr(1);
    const PageFile* file = FindPageFile(site.files, name);
    if (file == nullptr)
        return Refuse(404);
    if (request.method != "GET")
        return Refuse(405);
    return {WebRoute::File, 200, file->name, {}};
}
