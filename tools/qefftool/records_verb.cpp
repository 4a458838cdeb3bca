// qefftool records --db: the history of a unit or a station across the
// factory's stations, from its database.

#include "qefftool/exit_codes.h"
#include "qefftool/records_command.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

namespace {

struct RecordsGiven {
    std::string db, dbFile, serial, station, since;
    bool json = false;
};

int Records(const RecordsGiven& given) {
    if (given.db.empty() && given.dbFile.empty()) {
        std::cerr << "qefftool: records needs the factory database: give --db CONNECTION or --db-file FILE.\n";
        return ExitUsage;
    }
    std::optional<std::string> connection = given.db;
    if (!given.dbFile.empty())
        connection = ReadConnectionFile(given.dbFile);
    if (!connection || connection->empty()) {
        std::cerr << "qefftool: the connection file " << given.dbFile
                  << " cannot be read, or is empty: write the factory database's ODBC connection string in it.\n";
        return ExitUsage;
    }
    HistoryFilter filter;
    if (!given.serial.empty())
        filter.serial = given.serial;
    if (!given.station.empty())
        filter.station = given.station;
    if (!given.since.empty())
        filter.since = ParseSince(given.since);
    return RunRecords(*connection, filter, given.json, std::cout, std::cerr);
}

}  // namespace

Verb AddRecordsVerb(CLI::App& app) {
    auto given = std::make_shared<RecordsGiven>();
    auto* command = app.add_subcommand("records", "The products' history across the factory's stations, from its database");
    auto* db = command->add_option("--db", given->db, "The factory database's ODBC connection string");
    auto* dbFile = command->add_option("--db-file", given->dbFile,
                                       "As --db, the connection string read from this file");
    db->excludes(dbFile);
    command->add_option("--serial", given->serial, "Only the unit with this serial number");
    command->add_option("--station", given->station, "Only this station's products");
    command
        ->add_option("--since", given->since, "Only products recorded at or after this UTC time (2026-12-10, "
                                              "2026-12-10T07:00:00Z)")
        ->check([](const std::string& text) {
            return ParseSince(text) ? std::string() : "not a UTC time such as 2026-12-10T07:00:00Z: " + text;
        });
    command->add_flag("--json", given->json, "One JSON object per product and line: the line its station recorded");
    command->footer("Exit code 0 with the products found (none is no failure); 1 when the database cannot be asked; "
                    "2 when the command line is wrong.");
    return {command, [given] { return Records(*given); }};
}
