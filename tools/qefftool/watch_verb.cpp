// qefftool watch: the station, upgrading every product with the package's IDs
// as it is plugged in, until Ctrl-C.

#include "platform/interrupt.h"
#include "platform/native_arrivals.h"
#include "platform/native_hid.h"
#include "device/usb_release.h"
#include "platform/reload_request.h"
#include "platform/sha256.h"
#include "qefftool/terminal.h"
#include "qefftool/login_link.h"
#include "qefftool/exit_codes.h"
#include "qefftool/station_output.h"
#include "qefftool/verb_options.h"
#include "qefftool/verbs.h"
#include "qefftool/watch_command.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <optional>
#include <cstddef>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct WatchGiven {
    WatchOptions watch;
    std::string sha256, serial, location, record, recordKey, http, httpToken, trust, expectRelease, loginLinkFile, recordDb,
        recordDbFile;
    std::size_t count = 0, failures = 0, parallel = 0, claimExpires = 300;
    std::string dbUnreachable = "own-record";
    double returnsWithin = 15, verifyWithin = 30;
    bool json = false;
    CLI::Option* httpOption = nullptr;
};

int Watch(WatchGiven& given) {
    WatchOptions& watch = given.watch;
    const auto hid = NativeHidSystem();
    if (!given.sha256.empty())
        watch.sha256 = ParseSha256Hex(given.sha256);
    if (!given.trust.empty())
        watch.trust = given.trust;
    if (!given.serial.empty())
        watch.choice.serial = given.serial;
    if (!given.location.empty())
        watch.choice.location = given.location;
    if (given.count > 0)
        watch.limits.count = given.count;
    if (given.failures > 0)
        watch.limits.stopAfterFailures = given.failures;
    if (given.parallel > 0)
        watch.limits.maxParallel = given.parallel;
    watch.limits.returnsWithin = std::chrono::milliseconds(static_cast<long long>(given.returnsWithin * 1000));
    if (!given.expectRelease.empty())
        watch.limits.expectRelease = ParseRelease(given.expectRelease);
    watch.limits.verifyWithin = std::chrono::milliseconds(static_cast<long long>(given.verifyWithin * 1000));
    if (!given.record.empty())
        watch.record = given.record;
    if (!given.recordKey.empty())
        watch.recordKey = given.recordKey;
    if (!given.recordDb.empty())
        watch.recordDb = given.recordDb;
    watch.claimExpires = std::chrono::seconds(given.claimExpires);
    watch.stopWhenDbUnreachable = given.dbUnreachable == "stop";
    if (!given.recordDbFile.empty()) {
        watch.recordDb = ReadConnectionFile(given.recordDbFile);
        if (!watch.recordDb) {
            std::cerr << "qefftool: the connection file " << given.recordDbFile
                      << " cannot be read, or is empty: write the factory database's ODBC connection string in it.\n";
            return ExitCodeOf(Outcome::Usage);
        }
    }
    // WatchGiven at all, even empty: the station says what is wrong with an address.
    if (given.httpOption->count() > 0)
        watch.http = given.http;
    if (!given.httpToken.empty())
        watch.httpToken = given.httpToken;
    CatchSessionEnd();
    // With a token file, SIGHUP reads it again, as a service's settings are;
    // without one it stops the station, as a closed terminal does.
    if (watch.httpToken)
        CatchReloadRequests();
    const auto arrivals = NativeHidArrivals();
    // Never freed: an output given up on at the end (a paused terminal)
    // leaves its writing thread holding it until the process ends.
    static StationOutput* const out = new StationOutput(std::cout, given.json);
    LoginLinkOutput link(given.loginLinkFile, std::cerr, IsTerminal(stderr));
    return RunWatch(watch, *hid, *arrivals, *out, link, InterruptRequested(), &ReloadRequested());
}

}  // namespace

Verb AddWatchVerb(CLI::App& app) {
    auto given = std::make_shared<WatchGiven>();
    WatchOptions& watch = given->watch;
    auto* command = app.add_subcommand(
        "watch", "Upgrade every product with the package's IDs as it is plugged in, several at once, until Ctrl-C");
    command->add_option("package", watch.package, "The package")->required();
    command->add_option("--count", given->count, "Stop once this many products were upgraded")
        ->check(CLI::PositiveNumber);
    command->add_option("--serial", given->serial, "Only products with this USB serial number");
    command->add_option("--location", given->location, "Only products plugged in at this location");
    command->add_flag("--json", given->json, "One JSON object per line, for scripts");
    command
        ->add_option("--returns-within", given->returnsWithin,
                     "A product without a serial number back at its location this many seconds after its upgrade "
                     "is the same product")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    auto* expect = command
                       ->add_option("--expect-release", given->expectRelease,
                                    "Count a product once it came back with this USB release number (as lsusb shows "
                                    "it, 2.41, or 0x0241): its new firmware seen running")
                       ->check(ReleaseCheck());
    command
        ->add_option("--verify-within", given->verifyWithin,
                     "With --expect-release: how many seconds a product upgraded has to come back")
        ->check(CLI::PositiveNumber & CLI::Range(0.0, 86400.0))
        ->capture_default_str()
        ->needs(expect);
    command
        ->add_option("--max-parallel", given->parallel,
                     "Upgrade at most this many products at once; the others wait")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--stop-after-failures", given->failures,
                     "Take no new product after this many failed in a row; the running ones finish")
        ->check(CLI::PositiveNumber);
    auto* record = command->add_option("--record", given->record,
                                       "Append one JSON line per product to this file, on disk at once");
    command
        ->add_option("--record-key", given->recordKey,
                     "A file holding a secret (16 bytes or more) that every record line's MAC is made with")
        ->needs(record);
    auto* recordDb = command->add_option(
        "--record-db", given->recordDb,
        "Feed every record line to the factory's database with this ODBC connection string (needs --record)");
    command
        ->add_option("--record-db-file", given->recordDbFile,
                     "As --record-db, the connection string read from this file (no password in the process list)")
        ->excludes(recordDb);
    command
        ->add_option("--claim-expires", given->claimExpires,
                     "With --record-db and --skip-recorded: a station's claim on a product is taken over after this "
                     "many seconds (a station that died)")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    command
        ->add_option("--db-unreachable", given->dbUnreachable,
                     "With --record-db and --skip-recorded, when the factory database cannot be asked: own-record "
                     "(go by this station's record alone) or stop (take no new product)")
        ->check(CLI::IsMember({"own-record", "stop"}))
        ->capture_default_str();
    command
        ->add_flag("--skip-recorded", watch.skipRecorded,
                   "Skip a serial number the record tells was upgraded with this package; refuses a record that "
                   "was changed")
        ->needs(record);
    watch.station = HostName();
    command->add_option("--station", watch.station, "The station's name in the record (default: the host's)");
    command->add_option("--operator", watch.operatorName, "Who runs the station, for the record");
    given->httpOption = command->add_option(
        "--http", given->http,
        "Serve the station's live page and its API at [ADDRESS:]PORT (loopback unless an address is given)");
    command
        ->add_option("--http-token", given->httpToken,
                     "A file holding the secret every request to the page must carry; needed to listen beyond loopback")
        ->needs(given->httpOption);
    command
        ->add_option("--login-link-file", given->loginLinkFile,
                     "Write the one-time link that lets a browser in to this file, which only you may read "
                     "(else it goes to the terminal, never to the output's lines)")
        ->needs("--http-token");
    command
        ->add_option("--sha256", given->sha256,
                     "Refuse the package, before looking for any product, unless this is its SHA-256")
        ->check(Sha256Check());
    AddTrustOption(*command, given->trust, "Refuse the package, before looking for any product,");
    command->footer("The exit code is the worst of the products' (0 when every one was upgraded); 8 when Ctrl-C "
                    "ended it; 9 when a line of the output or of the record could not be written; 10 when one came "
                    "back with another release than --expect-release.");
    return {command, [given] { return Watch(*given); }};
}
