#pragma once

#include "station/web/station_web.h"
#include "station/web/web_request_policy.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// How a site names itself in the server's texts: its refusals and its login page.
struct WebSiteTexts {
    std::string_view server;  // "station": "This station asks for its token"
    std::string_view page;    // "the station's page"
    std::string_view title;   // "Quorvella station", the login page's
};

// An answer of the site's own: a status and its JSON.
struct WebReply {
    unsigned status = 200;
    std::string json;
};

// One site of the web server: what its API answers and the page it serves.
// The server keeps every rule of who may ask (loopback, the token, the
// sessions, the bounds); the site only answers what was let through. Called on
// the server's thread: nothing here may wait for long.
class WebSite {
public:
    virtual ~WebSite() = default;

    virtual const WebSiteMap& Map() const = 0;
    virtual const WebSiteTexts& Texts() const = 0;

    // GET of WebRoute::Status, and each message of the status stream.
    virtual std::string StatusJson() = 0;
    // GET of WebRoute::Records: what was recorded after `since`; `dropped`
    // the oldest let go past those kept.
    virtual std::string RecordsJson(std::string_view since, std::size_t& dropped);
    // GET of WebRoute::Search (`target`, its query and all): `answer` is
    // called once, from any thread. When it is not called within the
    // server's bound, the server answers 504 with NoAnswerJson().
    virtual void Search(std::string_view target, std::function<void(WebReply)> answer);
    virtual std::string NoAnswerJson() const;
    // WebRoute::Pause, Resume or Stop; `by` who asked.
    virtual CommandAnswer Command(WebRoute route, const std::string& by);
};
