#include "station/line/line_page.h"

#include "station/line/line_poller.h"
#include "station/line/line_search.h"
#include "station/line/line_site.h"
#include "station/web/token_file.h"
#include "station/web/web_server.h"

#include <thread>

struct LineServer::Parts {
    explicit Parts(const LineOptions& options)
        : poller(options.db), search(options.db), site(poller, search), server(options.web, site) {}

    LinePoller poller;
    LineSearch search;
    LineSite site;
    WebServer server;  // gone first: nothing asks the site once it is
};

LineServer::LineServer(const LineOptions& options) : parts_(std::make_unique<Parts>(options)) {}

LineServer::~LineServer() = default;

std::string LineServer::Url() const { return parts_->server.url; }

std::string LineServer::Link() const { return parts_->server.link; }

void LineServer::ReplaceToken(std::string token) { parts_->server.ReplaceToken(std::move(token)); }

void ServeLine(const LineOptions& options, const std::atomic<bool>& stop, std::atomic<bool>* reloadToken,
               const std::function<void(const std::string& url, const std::string& link)>& serving,
               const std::function<void(const std::string& text)>& told) {
    LineServer server(options);
    serving(server.Url(), server.Link());
    while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (reloadToken && reloadToken->exchange(false) && !options.tokenFile.empty()) {
            std::string why;
            if (auto token = ReadToken(options.tokenFile, why)) {
                server.ReplaceToken(std::move(*token));
                told("The token was read again from " + options.tokenFile +
                     ": every browser must be let in again, with a new link (POST /api/link).");
            } else {
                told(why + " The last token still holds.");
            }
        }
    }
}
