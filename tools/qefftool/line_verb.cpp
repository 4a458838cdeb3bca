// qefftool line: the line's page, every station of the factory's database on
// one page, until Ctrl-C.

#include "platform/interrupt.h"
#include "platform/reload_request.h"
#include "qefftool/terminal.h"
#include "qefftool/exit_codes.h"
#include "qefftool/login_link.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"
#include "station/line/line_page.h"
#include "station/station_event.h"
#include "station/web/token_file.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

namespace {

struct LineGiven {
    std::string db, dbFile, http, httpToken, loginLinkFile;
};

int Usage(const std::string& why) {
    std::cerr << "qefftool: " << why << "\n";
    return ExitUsage;
}

int Line(const LineGiven& given) {
    LineOptions line;
    if (!given.dbFile.empty()) {
        const auto read = ReadConnectionFile(given.dbFile);
        if (!read)
            return Usage("the connection file " + given.dbFile +
                         " cannot be read, or is empty: write the factory database's ODBC connection string in it.");
        line.db = *read;
    } else if (!given.db.empty()) {
        line.db = given.db;
    } else {
        return Usage("line: name the factory database with --db CONNECTION or --db-file FILE.");
    }
    std::string why;
    const auto web = ParseListenAddress(given.http, why);
    if (!web)
        return Usage("--http: " + why);
    line.web = *web;
    if (!given.httpToken.empty()) {
        line.web.token = ReadToken(given.httpToken, why);
        if (!line.web.token)
            return Usage(why);
        line.tokenFile = given.httpToken;
    }
    if (!line.web.token && !IsLoopbackAddress(line.web.address))
        return Usage("Listening on " + line.web.address +
                     " lets other computers in: give the secret they must show with --http-token FILE.");
    CatchSessionEnd();
    if (line.web.token)
        CatchReloadRequests();  // SIGHUP reads the token file again
    LoginLinkOutput link(given.loginLinkFile, std::cerr, IsTerminal(stderr), "the line's page");
    ServeLine(line, InterruptRequested(), &ReloadRequested(),
              [&](const std::string& url, const std::string& oneTime) {
                  std::cout << "Serving the line's page at " << url << std::endl;
                  StationEvent serving;
                  serving.kind = StationEvent::Kind::Serving;
                  serving.text = url;
                  serving.caption = oneTime;
                  link.Take(serving);
              },
              [](const std::string& text) { std::cerr << "qefftool: " << text << std::endl; });
    return ExitInterrupted;  // as watch ends on Ctrl-C
}

}  // namespace

Verb AddLineVerb(CLI::App& app) {
    auto given = std::make_shared<LineGiven>();
    auto* command = app.add_subcommand(
        "line", "Serve the line's page: every station of the factory's database, its state, counters and failures");
    auto* db = command->add_option("--db", given->db, "The factory database's ODBC connection string");
    command
        ->add_option("--db-file", given->dbFile,
                     "As --db, the connection string read from this file (no password in the process list)")
        ->excludes(db);
    auto* http = command
                     ->add_option("--http", given->http,
                                  "Serve the page and its API at [ADDRESS:]PORT (loopback unless an address is given)")
                     ->required();
    command
        ->add_option("--http-token", given->httpToken,
                     "A file holding the secret every request to the page must carry; needed to listen beyond loopback")
        ->needs(http);
    command
        ->add_option("--login-link-file", given->loginLinkFile,
                     "Write the one-time link that lets a browser in to this file, which only you may read "
                     "(else it goes to the terminal)")
        ->needs("--http-token");
    command->footer("Runs until Ctrl-C (or SIGTERM), then exits with 8, as watch does. One of --db and --db-file is "
                    "needed.");
    return {command, [given] { return Line(*given); }};
}
