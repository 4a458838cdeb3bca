#pragma once

#include "station/web/web_site.h"

class StationBoard;

// The station's page: its board's status and records, and its commands.
class StationSite final : public WebSite {
public:
    StationSite(const StationBoard& board, StationCommands& commands) : board_(board), commands_(commands) {}

    const WebSiteMap& Map() const override { return StationSiteMap(); }
    const WebSiteTexts& Texts() const override;
    std::string StatusJson() override;
    std::string RecordsJson(std::string_view since, std::size_t& dropped) override;
    CommandAnswer Command(WebRoute route, const std::string& by) override;

private:
    const StationBoard& board_;
    StationCommands& commands_;
};
