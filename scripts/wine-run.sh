#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, in a Wine prefix of the build
# folder's own (made on first use) and on a private X server. CMake uses it as
# the cross-compiling emulator, so ctest runs the Windows tests through it.
set -euo pipefail

here=$(dirname "$(realpath "$0")")
# The build folder holds the prefix: the one the program lies in, or the one
# WINE_RUN_BUILD names for a program copied elsewhere.
build=${WINE_RUN_BUILD:-$(dirname "$(realpath "$1")")}
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || build=$(pwd)
# WINE_RUN_DPI (e.g. 144) runs on a screen of that resolution, in a prefix of
# its own beside the 96-dpi one.
dpi=${WINE_RUN_DPI:-96}
[[ $dpi =~ ^[0-9]+$ ]] || { echo "WINE_RUN_DPI must be a number of dots per inch" >&2; exit 2; }
export WINEPREFIX="$build/wineprefix"
[ "$dpi" = 96 ] || WINEPREFIX="$build/wineprefix-${dpi}dpi"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine installers
# Debian keeps the 64-bit loader out of PATH.
wine=wine
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64

# A private X server for the windows, started when needed. A watcher ends it
# once the wineserver has gone; it looks under the same lock as a new run
# does, so it never ends a server that a new run has just found.
display() {
  local n pid
  n=$(cat "$build/.xvfb" 2>/dev/null || true)
  if [ -n "$n" ] && pid=$(tr -d ' ' 2>/dev/null <"/tmp/.X$n-lock") &&
     [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]; then
    echo ":$n"
    return
  fi
  for n in $(seq 90 189); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -dpi 96 -nolisten tcp </dev/null >/dev/null 2>&1 9>&- &
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    pid=$(tr -d ' ' <"/tmp/.X$n-lock")
    echo "$n" >"$build/.xvfb"
    setsid bash -c '
      while sleep 2; do
        flock "$1" bash -c "pgrep -x wineserver64 || pgrep -x wineserver || { kill $2; exit 3; }" >/dev/null || break
      done' _ "$build/.wine-lock" "$pid" </dev/null >/dev/null 2>&1 9>&- &
    echo ":$n"
    return
  done
  echo "no free X display" >&2
  return 1
}

# Wine's helper processes outlive the program and would hold ctest's output
# open; start them first, detached from it, with a server that leaves ten
# seconds after its last client (never one that stays for good).
mkdir -p "$WINEPREFIX"
(
  flock 9
  # A prefix of another resolution starts as a copy of the 96-dpi one, if
  # that is made (making one takes half a minute), before its server reads it.
  copied=""
  if [ ! -f "$WINEPREFIX/.ready" ] && [ "$dpi" != 96 ] && [ -f "$build/wineprefix/.ready" ]; then
    rm -rf "$WINEPREFIX"
    # (its server may be saving the registry meanwhile: a copy that fails is made anew)
    if cp -a "$build/wineprefix" "$WINEPREFIX" 2>/dev/null; then
      rm -f "$WINEPREFIX/.ready"
      copied=1
    else
      rm -rf "$WINEPREFIX"
      mkdir -p "$WINEPREFIX"
    fi
  fi
  DISPLAY=$(display)
  export DISPLAY
  echo "$DISPLAY" >"$build/.wine-display"
  # (without the lock: a server that keeps it would make the next run wait)
  wineserver -p10 </dev/null >/dev/null 2>&1 9>&- || true
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    # A new prefix: the windows' font, classic colours, 96 dpi (or
    # WINE_RUN_DPI), no window manager. The marker comes last, so a half-made
    # prefix is made again.
    [ -n "$copied" ] || $wine wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    settings=$WINEPREFIX/settings.reg
    sed "s/^\"LogPixels\"=dword:.*/\"LogPixels\"=dword:$(printf %08x "$dpi")/" "$here/wine-settings.reg" >"$settings"
    reg="Z:$settings"
    $wine regedit /S "${reg//\//\\}" </dev/null >/dev/null 2>&1 9>&- || true
    wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
    wineserver -p10 </dev/null >/dev/null 2>&1 9>&- || true
    touch "$WINEPREFIX/.ready"
  fi
  $wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$build/.wine-lock"
DISPLAY=$(cat "$build/.wine-display")
export DISPLAY
# The program's output goes through a file for the same reason: whatever Wine
# starts on its behalf inherits that file, not ctest's pipe.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
$wine "$@" >"$log" 2>&1 </dev/null || status=$?
# Every program run here prints something, on success and on failure alike.
# One that printed nothing at all and failed was not started by Wine (seen
# once, in a prefix a minute old): that is said, and it is tried once more.
# (Not one that was killed: a window ended by its test must stay ended; and
# never with WINE_RUN_ONCE set, for programs that print nothing.)
if [ ! -s "$log" ] && [ "$status" -ne 0 ] && [ "$status" -lt 128 ] && [ -z "${WINE_RUN_ONCE:-}" ]; then
  echo "wine-run: $1 printed nothing and ended with $status; run once more" >&2
  status=0
  $wine "$@" >"$log" 2>&1 </dev/null || status=$?
fi
cat "$log"
[ -s "$log" ] || echo "wine-run: $1 printed nothing and ended with $status" >&2
exit $status
