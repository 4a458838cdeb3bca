#pragma once

#include "station/web/web_site.h"

class LinePoller;
class LineSearch;

// The line's page: every station's state as the poller last read it
// (GET /api/line) and a unit's history (GET /api/history?serial=S). No
// controls: the stations are run from their own pages.
class LineSite final : public WebSite {
public:
    LineSite(const LinePoller& poller, LineSearch& search) : poller_(poller), search_(search) {}

    const WebSiteMap& Map() const override;
    const WebSiteTexts& Texts() const override;
    std::string StatusJson() override;
    void Search(std::string_view target, std::function<void(WebReply)> answer) override;
    std::string NoAnswerJson() const override;

private:
    const LinePoller& poller_;
    LineSearch& search_;
};
