#include "platform/interrupt.h"

#include <csignal>

namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int signal) {
    requested.store(true);
    std::signal(signal, SIG_DFL);  // a second one ends the program
}

}  // namespace

void CatchInterrupts() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
}

void CatchSessionEnd() { CatchInterrupts(); }  // SIGHUP and SIGTERM tell it here

const std::atomic<bool>& InterruptRequested() { return requested; }

void InterruptHandled() {}
