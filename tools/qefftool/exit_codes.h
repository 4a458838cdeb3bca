#pragma once

#include "device/outcome.h"

// qefftool's exit codes, the same on every system. With several products the
// worst (highest) of theirs is the command's.
enum ExitCode : int {
    ExitSuccess = 0,
    ExitFailure = 1,       // anything unforeseen
    ExitUsage = 2,         // the command line is wrong
    ExitPackage = 3,       // the package (or another file) cannot be read, or is no package, or its signer is
                           // not vouched for
    ExitNotFound = 4,      // no product with the package's IDs (or not the one named)
    ExitAccessDenied = 5,  // the product is there but may not be opened
    ExitRefused = 6,       // the product refused the firmware with a failing code
    ExitLost = 7,          // the product stopped answering or went away
    ExitInterrupted = 8,   // Ctrl-C stopped the upgrade
    ExitOutput = 9,        // the station's output or its record cannot be written
    ExitNotVerified = 10,  // the product came back with another release than the one expected
    ExitRecordBroken = 11, // (record verify) a line of the record was changed, removed, inserted or reordered
};

// The exit code of an outcome: its own number, which the record and the JSON
// lines carry too. The two tables must never drift apart.
inline int ExitCodeOf(Outcome outcome) { return OutcomeNumber(outcome); }
static_assert(static_cast<int>(Outcome::Upgraded) == ExitSuccess && static_cast<int>(Outcome::Failed) == ExitFailure &&
              static_cast<int>(Outcome::Usage) == ExitUsage && static_cast<int>(Outcome::FileError) == ExitPackage &&
              static_cast<int>(Outcome::NotFound) == ExitNotFound &&
              static_cast<int>(Outcome::AccessDenied) == ExitAccessDenied &&
              static_cast<int>(Outcome::Refused) == ExitRefused && static_cast<int>(Outcome::Lost) == ExitLost &&
              static_cast<int>(Outcome::Interrupted) == ExitInterrupted &&
              static_cast<int>(Outcome::OutputFailed) == ExitOutput &&
              static_cast<int>(Outcome::NotVerified) == ExitNotVerified);
static_assert(OutcomeNumber(Outcome::Verified) == ExitSuccess && OutcomeNumber(Outcome::NotReturned) == ExitLost);

inline constexpr const char* ExitCodeTable =
    "Exit codes:\n"
    "  0  success\n"
    "  1  unforeseen failure\n"
    "  2  usage error\n"
    "  3  file or package error, or the package's signature refused (--trust)\n"
    "  4  product not found\n"
    "  5  access to the product denied\n"
    "  6  product refused the firmware (its code is in the message)\n"
    "  7  time-out or product lost; with --expect-release, not back in time\n"
    "  8  interrupted\n"
    "  9  (watch) its output or its record cannot be written\n"
    "  10 (--expect-release) the product came back with another release\n"
    "  11 (record verify) the record was changed\n"
    "With --all, the worst of the products' codes.\n";
