#include "platform/reload_request.h"

#include <csignal>

namespace {

std::atomic<bool> reloadAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnHangup(int) { reloadAsked.store(true); }

}  // namespace

void CatchReloadRequests() {
    struct sigaction action {};
    action.sa_handler = OnHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // stays caught: each SIGHUP asks again
    sigaction(SIGHUP, &action, nullptr);
}

std::atomic<bool>& ReloadRequested() { return reloadAsked; }
