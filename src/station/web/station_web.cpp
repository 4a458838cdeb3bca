#include "station/web/station_web.h"

#include "station/station_board.h"
#include "station/event_json.h"
#include "station/web/web_server.h"

StationWeb::StationWeb(const WebOptions& options, const StationBoard& board, StationCommands& commands)
    : impl_(std::make_unique<Impl>(options, board, commands)) {}

StationWeb::~StationWeb() = default;

// The board was kept up by the station's model; the clients are told on the
// server's thread, which the station never waits for.
void StationWeb::Take(const StationEvent& event) { impl_->Tell(StationEventJson(event)); }

std::string StationWeb::Url() const { return impl_->url; }

std::string StationWeb::Link() const { return impl_->link; }

void StationWeb::ReplaceToken(std::string token) { impl_->ReplaceToken(std::move(token)); }
