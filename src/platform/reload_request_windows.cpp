#include "platform/reload_request.h"

namespace {

std::atomic<bool> requested{false};

}  // namespace

void CatchReloadRequests() {}

std::atomic<bool>& ReloadRequested() { return requested; }
