#pragma once

#include <atomic>

// Stopping a command-line program from outside, where it is safe to. From
// CatchInterrupts() on, the first request to stop only raises the flag:
// Ctrl-C, and what service managers, terminals and sessions send (POSIX:
// SIGINT, SIGTERM from `systemctl stop`, SIGHUP from a closed terminal or a
// lost SSH session; Windows: Ctrl-C, Ctrl-Break, the console window closed).
// A second one of the same ends the program as usual. A closed pipe no longer
// kills the program (SIGPIPE is ignored): its writes fail, and it says so.
void CatchInterrupts();
const std::atomic<bool>& InterruptRequested();

// The same, and for a program that runs for hours (the station): the user
// logging off and the system shutting down too. Windows tells a program that
// has loaded user32 of those only through its windows, so this makes a
// hidden one, on a thread of its own. (Under Wine a window starts Wine's
// desktop process, which holds the program's output pipe open: a short
// command does without.)
void CatchSessionEnd();

// The program has stopped cleanly after a request: Windows, which ends the
// process as soon as a close, log-off or shut-down handler returns, is let go
// on now rather than after the few seconds it gives.
void InterruptHandled();
