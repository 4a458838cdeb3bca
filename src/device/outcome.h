#pragma once

#include "device/firmware_transfer.h"

// How a product's upgrade, or a whole run, ended. Each outcome keeps one
// number: the record and the JSON lines carry it, qefftool exits with it, and
// of several the highest is the worst.
enum class Outcome : int {
    Upgraded = 0,
    Failed = 1,          // anything unforeseen
    Usage = 2,           // what the station was given is wrong
    FileError = 3,       // the package (or another file) cannot be read, or is refused
    NotFound = 4,        // no product, or one the transfer cannot use
    AccessDenied = 5,    // the product is there but may not be opened
    Refused = 6,         // the product refused the firmware with a failing code
    Lost = 7,            // the product stopped answering or went away
    Interrupted = 8,     // stopped at the user's request
    OutputFailed = 9,    // the station's output or its record cannot be written
    NotVerified = 10,    // upgraded, but it came back with another release than the one expected
    // Told apart from the outcome whose number they share (their value less 100):
    Verified = 100,      // upgraded, and it came back with the release expected (0)
    NotReturned = 107,   // upgraded, but it did not come back in time (7)
};

// The outcome in a few words ("upgraded", "refused the firmware").
const char* OutcomeName(Outcome outcome);
// The outcome as the page's tile shows it, one word ("upgraded", "refused", "lost", "denied", "failed").
const char* OutcomeState(Outcome outcome);
constexpr int OutcomeNumber(Outcome outcome) { return static_cast<int>(outcome) % 100; }
// The product ended upgraded (and, where asked for, seen running its new firmware).
constexpr bool Succeeded(Outcome outcome) { return OutcomeNumber(outcome) == 0; }
// How a transfer's end is told.
Outcome OutcomeOf(TransferOutcome outcome);
// The worse of two outcomes.
inline Outcome Worse(Outcome a, Outcome b) { return OutcomeNumber(a) >= OutcomeNumber(b) ? a : b; }
