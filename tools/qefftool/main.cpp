// qefftool: makes and shows .qeff firmware packages, lists HID interfaces and
// upgrades products from the command line, for firmware makers, scripts, test
// stations and production lines.

#include "qefftool/exit_codes.h"
#include "qefftool/json_output.h"
#include "platform/native_arrivals.h"
#include "qefftool/station_output.h"
#include "qefftool/watch_command.h"
#include "qefftool/list_command.h"
#include "qefftool/package_commands.h"
#include "platform/command_line.h"
#include "platform/interrupt.h"
#include "platform/native_hid.h"
#include "platform/sha256.h"
#include "qefftool/text_output.h"
#include "qefftool/upgrade_command.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr const char* kVersion = "qefftool " QUORVELLA_VERSION;

// A number in decimal or, with 0x, hexadecimal, up to `max`.
unsigned long ParseNumber(const std::string& text, unsigned long max) {
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || text[0] == '-' || used != text.size() || value > max)
        throw CLI::ValidationError(text, "takes a number from 0 to " + std::to_string(max) + " (0x for hexadecimal)");
    return value;
}

// The name the station goes by in its record unless given one.
std::string HostName() {
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    return name ? name : "";
#else
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

int Run(int argc, char** argv) {
    CLI::App app{"Makes and shows Quorvella firmware packages (.qeff) and upgrades products with them.", "qefftool"};
    // Every name is taken as a name: on Windows "/dir/x.qeff" is a file on the
    // current drive, not an option (subcommands take this from the app).
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);
    app.footer(ExitCodeTable);

    MakeOptions make;
    std::string vid, pid, block = "4096";
    auto* makeCommand = app.add_subcommand("make", "Write a package from its header fields and a firmware image");
    makeCommand->add_option("-o,--output", make.output, "The package to write")->required();
    makeCommand->add_option("--vid", vid, "USB vendor ID of the product")->required();
    makeCommand->add_option("--pid", pid, "USB product ID of the product")->required();
    makeCommand->add_option("--block", block, "Payload bytes per acknowledgement (0: only at the end)")
        ->capture_default_str();
    makeCommand->add_option("--name", make.name, "Product name");
    makeCommand->add_option("--code", make.code, "Product code");
    makeCommand->add_option("--firmware-code", make.firmwareCode, "Firmware code");
    auto* notes = makeCommand->add_option("--notes", make.notes, "Notes for the user");
    makeCommand->add_option("--notes-file", make.notesFile, "Read the notes from a file")->excludes(notes);
    makeCommand->add_option("--firmware", make.firmware, "The firmware image");

    std::string shown;
    auto* showCommand = app.add_subcommand("show", "Print the header of a package");
    showCommand->add_option("package", shown, "The package")->required();

    std::string listed;
    auto* listCommand = app.add_subcommand("list", "List the HID interfaces, and which ones a package is for");
    listCommand->add_option("package", listed, "A package to match the interfaces against");
    bool listJson = false;
    listCommand->add_flag("--json", listJson, "One JSON object per interface and line, for scripts");

    UpgradeOptions upgrade;
    double waitSeconds = -1;
    std::string device;
    bool json = false;
    auto* upgradeCommand = app.add_subcommand("upgrade", "Upgrade the product (or every one attached) with a package");
    upgradeCommand->add_option("package", upgrade.package, "The package")->required();
    upgradeCommand->add_option("--wait", waitSeconds, "Keep looking this many seconds for a product that is not there yet")
        ->check(CLI::Range(0.0, 86400.0));
    auto* deviceOption = upgradeCommand->add_option("--device", device, "Upgrade this interface (a path from 'list')");
    upgradeCommand->add_flag("--all", upgrade.all, "Upgrade every attached product with the package's IDs at once")
        ->excludes(deviceOption);
    std::string serial, location;
    upgradeCommand->add_option("--serial", serial, "Only the product with this USB serial number (see 'list')")
        ->excludes(deviceOption);
    upgradeCommand->add_option("--location", location, "Only the product plugged in at this location (see 'list')")
        ->excludes(deviceOption);
    upgradeCommand->add_flag("--dry-run", upgrade.dryRun, "Find and open the product and print the plan; send nothing");
    upgradeCommand->add_flag("--json", json, "One JSON object per line, for scripts");
    std::string sha256;
    upgradeCommand
        ->add_option("--sha256", sha256, "Refuse the package, before looking for any product, unless this is its SHA-256")
        ->check(CLI::Validator(
            [](std::string& hex) { return ParseSha256Hex(hex) ? std::string() : "takes 64 hexadecimal digits"; },
            "HEX"));
    upgradeCommand->footer(ExitCodeTable);

    WatchOptions watch;
    std::string watchSha256, watchSerial, watchLocation;
    std::size_t watchCount = 0, watchFailures = 0, watchParallel = 0;
    double returnsWithin = 15;
    std::string record;
    bool watchJson = false;
    auto* watchCommand = app.add_subcommand(
        "watch", "Upgrade every product with the package's IDs as it is plugged in, several at once, until Ctrl-C");
    watchCommand->add_option("package", watch.package, "The package")->required();
    watchCommand->add_option("--count", watchCount, "Stop once this many products were upgraded")
        ->check(CLI::PositiveNumber);
    watchCommand->add_option("--serial", watchSerial, "Only products with this USB serial number");
    watchCommand->add_option("--location", watchLocation, "Only products plugged in at this location");
    watchCommand->add_flag("--json", watchJson, "One JSON object per line, for scripts");
    watchCommand
        ->add_option("--returns-within", returnsWithin,
                     "A product without a serial number back at its location this many seconds after its upgrade "
                     "is the same product")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    watchCommand->add_option("--max-parallel", watchParallel, "Upgrade at most this many products at once; the others wait")
        ->check(CLI::PositiveNumber);
    watchCommand
        ->add_option("--stop-after-failures", watchFailures,
                     "Take no new product after this many failed in a row; the running ones finish")
        ->check(CLI::PositiveNumber);
    auto* recordOption =
        watchCommand->add_option("--record", record, "Append one JSON line per product to this file, on disk at once");
    watchCommand->add_flag("--skip-recorded", watch.skipRecorded,
                           "Skip a serial number the record tells was upgraded with this package")
        ->needs(recordOption);
    watch.station = HostName();
    watchCommand->add_option("--station", watch.station, "The station's name in the record (default: the host's)");
    watchCommand->add_option("--operator", watch.operatorName, "Who runs the station, for the record");
    std::string http, httpToken;
    auto* httpOption = watchCommand->add_option("--http", http,
                             "Serve the station's live page and its API at [ADDRESS:]PORT (loopback unless an address "
                             "is given)");
    watchCommand->add_option("--http-token", httpToken,
                             "A file holding the secret every request to the page must carry; needed to listen "
                             "beyond loopback")
        ->needs(httpOption);
    watchCommand
        ->add_option("--sha256", watchSha256, "Refuse the package, before looking for any product, unless this is its SHA-256")
        ->check(CLI::Validator(
            [](std::string& hex) { return ParseSha256Hex(hex) ? std::string() : "takes 64 hexadecimal digits"; },
            "HEX"));
    watchCommand->footer("The exit code is the worst of the products' (0 when every one was upgraded); 8 when Ctrl-C "
                         "ended it; 9 when a line of the output or of the record could not be written.");

    try {
        app.parse(argc, argv);
        if (*makeCommand) {
            make.vendorId = static_cast<std::uint16_t>(ParseNumber(vid, 0xFFFF));
            make.productId = static_cast<std::uint16_t>(ParseNumber(pid, 0xFFFF));
            make.blockLength = static_cast<std::uint32_t>(ParseNumber(block, 0xFFFFFFFFul));
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? ExitSuccess : ExitUsage;
    }

    try {
        if (*makeCommand)
            return RunMake(make);
        if (*showCommand)
            return RunShow(shown);
        const auto hid = NativeHidSystem();
        if (*watchCommand) {
            if (!watchSha256.empty())
                watch.sha256 = ParseSha256Hex(watchSha256);
            if (!watchSerial.empty())
                watch.choice.serial = watchSerial;
            if (!watchLocation.empty())
                watch.choice.location = watchLocation;
            if (watchCount > 0)
                watch.limits.count = watchCount;
            if (watchFailures > 0)
                watch.limits.stopAfterFailures = watchFailures;
            if (watchParallel > 0)
                watch.limits.maxParallel = watchParallel;
            watch.limits.returnsWithin = std::chrono::milliseconds(static_cast<long long>(returnsWithin * 1000));
            if (!record.empty())
                watch.record = record;
            if (httpOption->count() > 0)
                watch.http = http;
            if (!httpToken.empty())
                watch.httpToken = httpToken;
            CatchSessionEnd();
            const auto arrivals = NativeHidArrivals();
            // Never freed: an output given up on at the end (a paused terminal)
            // leaves its writing thread holding it until the process ends.
            static StationOutput* const out = new StationOutput(std::cout, watchJson);
            return RunWatch(watch, *hid, *arrivals, *out, InterruptRequested());
        }
        if (*listCommand)
            return RunList(*hid, listed.empty() ? std::nullopt : std::optional<std::string>(listed), std::cout,
                           listJson);
        if (waitSeconds >= 0)
            upgrade.wait = std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
        if (!device.empty())
            upgrade.device = device;
        if (!sha256.empty())
            upgrade.sha256 = ParseSha256Hex(sha256);
        if (!serial.empty())
            upgrade.choice.serial = serial;
        if (!location.empty())
            upgrade.choice.location = location;
        CatchInterrupts();
        if (json) {
            JsonOutput out(std::cout);
            return RunUpgrade(upgrade, *hid, out, InterruptRequested());
        }
        TextOutput out(std::cout, isatty(fileno(stdout)) != 0);
        return RunUpgrade(upgrade, *hid, out, InterruptRequested());
    } catch (const std::exception& e) {
        std::cerr << "qefftool: " << e.what() << "\n";
        return ExitFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int code = ExitFailure;
    try {
        // Names and texts are UTF-8 throughout; a Windows console is written in UTF-16.
        std::vector<std::string> arguments = CommandLineUtf8(argc, argv);
        std::vector<char*> pointers;
        pointers.reserve(arguments.size() + 1);
        for (std::string& argument : arguments)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        // A console's buffers, never freed (as std::cout itself is not), so
        // that whatever is written at the very end still finds them.
        if (std::streambuf* console = ConsoleTextBuffer(stdout).release())
            std::cout.rdbuf(console);
        if (std::streambuf* console = ConsoleTextBuffer(stderr).release())
            std::cerr.rdbuf(console);
        code = Run(static_cast<int>(arguments.size()), pointers.data());
    } catch (...) {
        std::fputs("qefftool: unforeseen failure\n", stderr);
    }
    std::cout.flush();
    InterruptHandled();  // everything is told: a console that is closing may end the program now
    return code;
}
