#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the station's server does with a request, decided from its method,
// its target and a few of its headers alone: no socket, no state, so that
// every rule can be tried on its own.
enum class WebRoute {
    Refused,  // `status` tells why
    File,     // one of the page's files: `file`
    Status, StatusStream, Events, Records,
    Pause, Resume, Stop,
    Link,     // a new one-time link, with a token
    Login,    // the one-time key was right: give the session's cookie, then go to the page
};

struct WebRequest {
    std::string_view method, target;
    std::string_view host, authorization, cookie, origin, fetchSite;  // empty when absent
};

// What the server knows when it decides.
struct WebSecrets {
    std::uint16_t port = 0;
    std::string_view token;     // empty: none, the station listens on loopback only
    std::string_view session;   // the cookie's value, with a token
    std::string_view loginKey;  // the one-time key not yet used; empty once it was
    std::string_view ownHost;   // the loopback address it listens on, as a Host names it ("127.0.0.2", "[::1]")
};

struct WebDecision {
    WebRoute route = WebRoute::Refused;
    int status = 404;       // 200 unless refused (401 403 404 405)
    std::string_view file;  // WebRoute::File: the page file's name
};

inline constexpr std::string_view kSessionCookie = "qefftool_session";

WebDecision DecideWebRequest(const WebRequest& request, const WebSecrets& secrets);

// Equal texts, in a time that tells nothing of where they differ.
bool SameSecret(std::string_view a, std::string_view b);
