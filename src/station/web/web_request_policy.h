#pragma once

#include "station/web/page_files.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// What the server does with a request, decided from its method, its target,
// a few of its headers and the site it serves alone: no socket, no state, so
// that every rule can be tried on its own. The server serves one site: the
// station's page, or the line's.
enum class WebRoute {
    Refused,  // `status` tells why
    File,     // one of the page's files: `file`
    Status, StatusStream, Events, Records,
    Search,   // answered off the server's thread, within a bound (the line's history of a unit)
    Pause, Resume, Stop,
    Link,       // a new one-time link, with a token
    LoginPage,  // GET of the one-time link: a page whose button spends the key (a preview or a scanner cannot)
    Login,      // POST of the one-time key, right: a new session's cookie, then the page
    Logout,     // the session in the cookie ends; with the token itself, every session
};

struct WebRequest {
    std::string_view method, target;
    std::string_view host, authorization, cookie, origin, fetchSite;  // empty when absent
    std::string_view control;  // the X-Quorvella-Control header, which no form can send
    std::string_view body;     // POST /login: "key=..."
};

// What the server knows when it decides.
struct WebSecrets {
    std::uint16_t port = 0;
    std::string_view token;     // empty: none, the station listens on loopback only
    std::span<const std::string> sessions;  // the cookies' values given and not ended, with a token
    std::string_view cookieName;            // this station's: several stations on one host keep theirs apart
    std::string_view loginKey;  // the one-time key not yet used; empty once it was, or once it expired
    std::string_view ownHost;   // the loopback address it listens on, as a Host names it ("127.0.0.2", "[::1]")
};

// One route of a site's API.
struct WebApi {
    std::string_view path;
    WebRoute route;
    bool control;  // POST, and only from the site's own page
};

// What a site serves besides the server's own routes (/login, /api/link,
// /api/logout): its API and its page's files.
struct WebSiteMap {
    std::span<const WebApi> api;
    std::span<const PageFile> files;
};

// The station's: its status, streams and records, its controls, its page.
const WebSiteMap& StationSiteMap();

struct WebDecision {
    WebRoute route = WebRoute::Refused;
    int status = 404;       // 200 unless refused (401 403 404 405)
    std::string_view file;  // WebRoute::File: the page file's name
    // Refused with 403: why ("otherHost" "otherSite" "noControlHeader" "linkNotValid").
    std::string_view error;
};

// The session cookie's name for the station on `port`: a browser sends a
// host's cookies to each of its ports.
std::string SessionCookieName(std::uint16_t port);
// The value of the cookie `name` among a Cookie header's; empty when absent.
std::string_view CookieValue(std::string_view cookies, std::string_view name);
// The header every control request carries, with the value "1": a form of
// another site cannot send it, and a script of another site must ask first
// (a preflight the station never grants).
inline constexpr std::string_view kControlHeader = "X-Quorvella-Control";

WebDecision DecideWebRequest(const WebRequest& request, const WebSecrets& secrets,
                             const WebSiteMap& site = StationSiteMap());

// The value of `name` in the target's query, its %XX escapes decoded ("%3A": ':').
std::string QueryValue(std::string_view target, std::string_view name);

// Equal texts, in a time that tells nothing of where they differ.
bool SameSecret(std::string_view a, std::string_view b);
