#pragma once

#include <atomic>

// A service is asked to read its settings again by SIGHUP, where there is
// one. From CatchReloadRequests() on (after CatchSessionEnd, whose SIGHUP it
// takes over), SIGHUP only raises the flag, for every SIGHUP. Windows has no
// such signal: the flag is never raised there.
void CatchReloadRequests();
std::atomic<bool>& ReloadRequested();
