// qefftool record verify: whether the station's record holds, or where it was
// changed.

#include "qefftool/exit_codes.h"
#include "qefftool/verbs.h"
#include "station/record_verification.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

struct VerifyGiven {
    std::string record, key;
};

int Verify(const VerifyGiven& given) {
    using Verdict = RecordVerification::Verdict;
    const RecordVerification told =
        VerifyRecord(given.record, given.key.empty() ? std::nullopt : std::optional<std::string>(given.key));
    const bool error = told.verdict == Verdict::BadKey || told.verdict == Verdict::Unreadable;
    for (const std::string& line : told.lines)
        (error ? std::cerr : std::cout) << (error ? "qefftool: " : "") << line << "\n";
    switch (told.verdict) {
    case Verdict::Holds: return ExitSuccess;
    case Verdict::Broken: return ExitRecordBroken;
    case Verdict::Unreadable: return ExitPackage;
    case Verdict::BadKey: return ExitUsage;
    }
    return ExitFailure;
}

}  // namespace

Verb AddRecordVerb(CLI::App& app) {
    auto given = std::make_shared<VerifyGiven>();
    auto* command = app.add_subcommand("record", "Check the station's record");
    command->require_subcommand(1);
    auto* verify = command->add_subcommand(
        "verify", "Check that no line of a record was changed, removed, inserted or reordered");
    verify->add_option("file", given->record, "The record (watch --record FILE)")->required();
    verify->add_option("--record-key", given->key, "The file holding the secret the record was kept with (watch "
                                                   "--record-key); checks every line's MAC too");
    verify->footer("Exit code 0 when the record holds (torn lines a crash left are told, and hold); 11 when it does "
                   "not; 3 when it cannot be read; 2 when the key cannot be read or is shorter than 16 bytes.");
    return {command, [given] { return Verify(*given); }};
}
