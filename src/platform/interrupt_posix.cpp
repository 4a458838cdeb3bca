#include "platform/interrupt.h"

#include <csignal>

namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) {
    requested.store(true);
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program
}

}  // namespace

void CatchInterrupts() { std::signal(SIGINT, OnInterrupt); }

const std::atomic<bool>& InterruptRequested() { return requested; }
