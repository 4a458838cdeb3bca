#pragma once

#include <functional>

namespace CLI {
class App;
}

// A verb of the command line: its subcommand, and what runs it once the
// command line is parsed. Each Add*Verb adds the subcommand and its options to
// the app; the order they are added in is the order 'qefftool --help' lists.
struct Verb {
    CLI::App* command;
    std::function<int()> run;  // returns the exit code
};

Verb AddMakeVerb(CLI::App& app);
Verb AddShowVerb(CLI::App& app);
Verb AddSignVerb(CLI::App& app);
Verb AddListVerb(CLI::App& app);
Verb AddUpgradeVerb(CLI::App& app);
Verb AddWatchVerb(CLI::App& app);
Verb AddRecordVerb(CLI::App& app);
Verb AddRecordsVerb(CLI::App& app);
Verb AddLineVerb(CLI::App& app);
Verb AddDoctorVerb(CLI::App& app);
