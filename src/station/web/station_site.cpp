#include "station/web/station_site.h"

#include "station/station_board.h"

#include <chrono>

const WebSiteTexts& StationSite::Texts() const {
    static constexpr WebSiteTexts texts{"station", "the station's page", "Quorvella station"};
    return texts;
}

std::string StationSite::StatusJson() { return board_.StatusJson(std::chrono::system_clock::now()); }

std::string StationSite::RecordsJson(std::string_view since, std::size_t& dropped) {
    return board_.RecordsJson(since, &dropped);
}

CommandAnswer StationSite::Command(WebRoute route, const std::string& by) {
    switch (route) {
    case WebRoute::Pause: return commands_.Pause(by);
    case WebRoute::Resume: return commands_.Resume(by);
    case WebRoute::Stop: return commands_.Stop(by);
    default: return WebSite::Command(route, by);
    }
}
