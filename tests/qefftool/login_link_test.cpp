// Where the station's one-time link goes: never into its lines.

#include "qefftool/login_link.h"
#include "station/event_json.h"
#include "support/package_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

StationEvent Serving() {
    StationEvent event;
    event.kind = StationEvent::Kind::Serving;
    event.text = "http://127.0.0.1:8080/";
    event.caption = "http://127.0.0.1:8080/login?key=0123abcd";
    return event;
}

// Faults caught: the one-time link in the JSON lines (a service's journal),
// or written to an error output that is no terminal, or to a file others may read.
TEST(LoginLink, GoesOnlyWhereTheStationsUserReadsIt) {
    EXPECT_EQ(StationEventJson(Serving()).find("key="), std::string::npos) << StationEventJson(Serving());

    std::ostringstream journal, terminal;
    LoginLinkOutput(std::string(), journal, false).Take(Serving());
    EXPECT_EQ(journal.str().find("key="), std::string::npos) << journal.str();
    EXPECT_NE(journal.str().find("--login-link-file"), std::string::npos) << "says how to get one";
    LoginLinkOutput(std::string(), terminal, true).Take(Serving());
    EXPECT_NE(terminal.str().find(Serving().caption), std::string::npos) << terminal.str();

    TempFolder folder;
    const auto file = folder / "link";
    std::ofstream(file) << "left by another\n";
    std::filesystem::permissions(file, std::filesystem::perms::all);
    std::ostringstream errors;
    LoginLinkOutput(file.string(), errors, true).Take(Serving());
    EXPECT_TRUE(errors.str().empty()) << errors.str();
    std::ifstream written(file);
    std::string line;
    std::getline(written, line);
    EXPECT_EQ(line, Serving().caption);
#ifndef _WIN32
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
}

}  // namespace
