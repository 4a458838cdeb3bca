#include "device/outcome.h"

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Upgraded: return "upgraded";
    case Outcome::FileError: return "file error";
    case Outcome::NotFound: return "not upgraded";
    case Outcome::AccessDenied: return "access denied";
    case Outcome::Refused: return "refused the firmware";
    case Outcome::Lost: return "timed out or lost";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::OutputFailed: return "output failed";
    case Outcome::Verified: return "verified";
    case Outcome::NotVerified: return "not verified";
    case Outcome::NotReturned: return "not returned";
    case Outcome::Failed:
    case Outcome::Usage: break;
    }
    return "failed";
}

const char* OutcomeState(Outcome outcome) {
    switch (outcome) {
    case Outcome::Upgraded: return "upgraded";
    case Outcome::Refused: return "refused";
    case Outcome::Lost: return "lost";
    case Outcome::AccessDenied: return "denied";
    case Outcome::Verified: return "verified";
    case Outcome::NotVerified: return "notVerified";
    case Outcome::NotReturned: return "notReturned";
    default: return "failed";
    }
}

Outcome OutcomeOf(TransferOutcome outcome) {
    switch (outcome) {
    case TransferOutcome::Success: return Outcome::Upgraded;
    case TransferOutcome::FileError: return Outcome::FileError;
    case TransferOutcome::DeviceUnsupported: return Outcome::NotFound;
    case TransferOutcome::Refused: return Outcome::Refused;
    case TransferOutcome::Lost: return Outcome::Lost;
    case TransferOutcome::Interrupted: return Outcome::Interrupted;
    }
    return Outcome::Failed;
}
