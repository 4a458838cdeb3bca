#include "platform/reload_request.h"

namespace {

std::atomic<bool> reloadAsked{false};

}  // namespace

void CatchReloadRequests() {}

std::atomic<bool>& ReloadRequested() { return reloadAsked; }
