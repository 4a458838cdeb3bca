#include "station/web/station_web.h"

#include "station/event_json.h"
#include "station/web/station_site.h"
#include "station/web/web_server.h"

// The station's page: its site, served by the server every site shares.
struct StationWeb::Impl {
    Impl(const WebOptions& options, const StationBoard& board, StationCommands& commands)
        : site(board, commands), server(options, site) {}

    StationSite site;
    WebServer server;  // after the site, which it answers from, and gone before it
};

StationWeb::StationWeb(const WebOptions& options, const StationBoard& board, StationCommands& commands)
    : impl_(std::make_unique<Impl>(options, board, commands)) {}

StationWeb::~StationWeb() = default;

// The board was kept up by the station's model; the clients are told on the
// server's thread, which the station never waits for.
void StationWeb::Take(const StationEvent& event) { impl_->server.Tell(StationEventJson(event)); }

std::string StationWeb::Url() const { return impl_->server.url; }

std::string StationWeb::Link() const { return impl_->server.link; }

void StationWeb::ReplaceToken(std::string token) { impl_->server.ReplaceToken(std::move(token)); }
