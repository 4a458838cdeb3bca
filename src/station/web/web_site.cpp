#include "station/web/web_site.h"

#include <utility>

// A route the site's map does not name never reaches these: each answers as
// an unknown route would.

std::string WebSite::RecordsJson(std::string_view, std::size_t&) { return "[]"; }

void WebSite::Search(std::string_view, std::function<void(WebReply)> answer) {
    const auto told = std::move(answer);  // called once, as every site's answer is
    told({404, R"({"error":"notFound","message":"Not found."})"});
}

std::string WebSite::NoAnswerJson() const {
    return R"({"error":"noAnswer","message":"No answer came in time: try again."})";
}

CommandAnswer WebSite::Command(WebRoute, const std::string&) { return {false, ""}; }
