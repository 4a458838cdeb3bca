#include "station_web.h"

#include "station_board.h"
#include "station_output.h"
#include "web_server.h"

StationWeb::StationWeb(const WebOptions& options, StationBoard& board, StationCommands& commands)
    : impl_(std::make_unique<Impl>(options, board, commands)) {}

StationWeb::~StationWeb() = default;

// The board is kept up on the station's thread; the clients are told on the
// server's, which the station never waits for.
void StationWeb::Take(const StationEvent& event) {
    impl_->board.Take(event);
    impl_->Tell(StationEventJson(event));
}

std::string StationWeb::Url() const { return impl_->url; }

std::string StationWeb::Link() const { return impl_->link; }
