#include "station/line/line_site.h"

#include "station/line/line_page_files.h"
#include "station/line/line_poller.h"
#include "station/line/line_search.h"

#include <array>

namespace {

constexpr std::array kLineApi{
    WebApi{"/api/line", WebRoute::Status, false},
    WebApi{"/api/history", WebRoute::Search, false},
};

}  // namespace

const WebSiteMap& LineSite::Map() const {
    static const WebSiteMap map{kLineApi, LinePageFiles()};
    return map;
}

const WebSiteTexts& LineSite::Texts() const {
    static constexpr WebSiteTexts texts{"line server", "the line's page", "Quorvella line"};
    return texts;
}

std::string LineSite::StatusJson() { return *poller_.Json(); }

void LineSite::Search(std::string_view target, std::function<void(WebReply)> answer) {
    search_.Find(QueryValue(target, "serial"), std::move(answer));
}

std::string LineSite::NoAnswerJson() const {
    return R"({"error":"noAnswer","message":"The factory database did not answer within 5 s: try again."})";
}
