#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, in a Wine prefix of the build
# folder's own (made on first use). CMake uses it as the cross-compiling
# emulator, so ctest runs the Windows tests through it.
set -euo pipefail

build=$(dirname "$(realpath "$1")")
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || build=$(pwd)
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine installers

# Wine's helper processes outlive the program and would hold ctest's output
# open; start them first, detached from it, with a server that leaves ten
# seconds after its last client (never one that stays for good).
mkdir -p "$WINEPREFIX"
(
  flock 9
  # (without the lock: a server that keeps it would make the next run wait)
  wineserver -p10 </dev/null >/dev/null 2>&1 9>&- || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$build/.wine-lock"
# The program's output goes through a file for the same reason: whatever Wine
# starts on its behalf inherits that file, not ctest's pipe.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
wine "$@" >"$log" 2>&1 </dev/null || status=$?
cat "$log"
exit $status
