#pragma once

#include <atomic>

// Ctrl-C for a command-line program: from CatchInterrupts() on, the first
// Ctrl-C (SIGINT on POSIX systems, the console's control handler on Windows)
// only raises the flag, so the program can stop where it is safe to; a second
// one ends the program as usual.
void CatchInterrupts();
const std::atomic<bool>& InterruptRequested();
