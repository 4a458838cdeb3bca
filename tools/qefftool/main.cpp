// qefftool: makes and shows .qeff firmware packages, lists HID interfaces and
// upgrades products from the command line, for firmware makers, scripts, test
// stations and production lines.

#include "platform/command_line.h"
#include "platform/interrupt.h"
#include "qefftool/exit_codes.h"
#include "qefftool/verbs.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kVersion = "qefftool " QUORVELLA_VERSION;

int Run(int argc, char** argv) {
    CLI::App app{"Makes and shows Quorvella firmware packages (.qeff) and upgrades products with them.", "qefftool"};
    // Every name is taken as a name: on Windows "/dir/x.qeff" is a file on the
    // current drive, not an option (subcommands take this from the app).
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);
    app.footer(ExitCodeTable);

    const std::vector<Verb> verbs = {AddMakeVerb(app),    AddSignVerb(app),  AddShowVerb(app),   AddListVerb(app),
                                     AddUpgradeVerb(app), AddWatchVerb(app), AddRecordVerb(app), AddRecordsVerb(app),
                                     AddLineVerb(app),    AddDoctorVerb(app)};
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? ExitSuccess : ExitUsage;
    }

    try {
        for (const Verb& verb : verbs)
            if (*verb.command)
                return verb.run();
    } catch (const std::exception& e) {
        std::cerr << "qefftool: " << e.what() << "\n";
        return ExitFailure;
    }
    return ExitUsage;  // not reached: parsing requires one verb
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
