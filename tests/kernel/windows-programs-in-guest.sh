#!/usr/bin/env bash
# Runs inside the guest kernel, on the host's files: the cross-built Windows
# programs under Wine (winebus over hidraw, then hidclass, setupapi and
# hid.dll) against virtual products on real hidraw nodes.
#
#   windows-programs-in-guest.sh uhid|gadget WINDOWS_BUILD LINUX_BUILD
#
# Wine's bus sees no products plugged in after it started (the guest runs no
# udevd), so the products of a group come first, then the Wine stack. Prints
# one line per scenario (outcome, the product's verdict on the payload, time)
# and exits non-zero when any scenario went otherwise than it must.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
transport=$1 win=$2 linux=$3
qefftool=$linux/tools/qefftool
product_program=$linux/tools/qeff-virtual-product
export WINEPREFIX=$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=wine
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
work=/tmp/windows-programs
mkdir -p "$work"
cd "$work" || exit 2
# The programs run from the guest's own memory: Wine maps a program's file, and
# mapped from the host's share its pages came out wrong (the program jumped
# into its data and its unwind tables read as zeros).
cp "$win/tools/qefftool.exe" "$win/src/app/win32/quorvella_upgrade_utility.exe" "$work/"
qefftool_exe=$work/qefftool.exe
window_exe=$work/quorvella_upgrade_utility.exe
failures=0
products=()

say() { echo "windows-on-kernel: $*"; }
fail() { say "FAILED: $*"; failures=$((failures + 1)); }
ms() { echo $(($(date +%s%N) / 1000000)); }

# package NAME PID BLOCK BYTES: a package with a random payload of BYTES.
package() {
  head -c "$4" /dev/urandom >"$1.bin"
  "$qefftool" make -o "$1.qeff" --vid 0x1d50 --pid "$2" --block "$3" --name "Quorvella Sensor Hub" \
    --firmware "$1.bin" >/dev/null
}

# attach NAME PACKAGE [OPTIONS...]: a product served in the background, its log in NAME.log.
attach() {
  local name=$1 pkg=$2
  shift 2
  "$product_program" --transport "$transport" --package "$pkg.qeff" "$@" >"$name.log" 2>&1 &
  products+=($!)
  for _ in $(seq 300); do
    grep -q "is attached" "$name.log" && return 0
    kill -0 $! 2>/dev/null || break
    sleep 0.1
  done
  fail "product $name did not attach: $(cat "$name.log")"
  return 1
}

detach_all() {
  for p in "${products[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${products[@]}"; do wait "$p" 2>/dev/null; done
  products=()
}

# The Wine stack, started after the products it is to see.
start_wine() {
  local t0
  t0=$(ms)
  wineserver -p </dev/null >/dev/null 2>&1
  timeout 300 $wine cmd /c exit </dev/null >/dev/null 2>&1
  say "Wine stack started in $(($(ms) - t0)) ms"
}
stop_wine() { wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; }

# verdict NAME: what the product said of the last payload it took.
verdict() {
  if grep -q "DIFFERS" "$1.log"; then echo "payload DIFFERS"
  elif grep -q "matches the package" "$1.log"; then echo "payload matches"
  else echo "no whole payload"; fi
}

# upgrade SCENARIO PRODUCT EXIT TEXT ARGS...: qefftool.exe upgrade ARGS must end
# with exit code EXIT and print TEXT; every line is stamped with its arrival.
upgrade() {
  local scenario=$1 product=$2 want=$3 text=$4
  shift 4
  local t0 status
  t0=$(ms)
  timeout 300 $wine "$qefftool_exe" upgrade "$@" </dev/null 2>&1 |
    while IFS= read -r line; do echo "$(ms) $line"; done >"$scenario.out"
  status=${PIPESTATUS[0]}
  ended=$(ms)
  local took=$((ended - t0))
  local v
  v=$(verdict "$product")
  say "$scenario: exit $status, $v, $took ms"
  [ "$status" = "$want" ] || fail "$scenario: exit code $status, not $want: $(cut -d' ' -f2- "$scenario.out")"
  grep -qF -- "$text" "$scenario.out" || fail "$scenario: no \"$text\" in: $(cut -d' ' -f2- "$scenario.out")"
  if [ "$want" = 0 ]; then
    [ "$v" = "payload matches" ] || fail "$scenario: the product found $v"
  else
    grep -q "Firmware upgraded successfully" "$scenario.out" && fail "$scenario: success after a failure"
  fi
}

# A private X server, before the Wine stack: Wine's desktop process, started
# with the stack's first program, draws every later window where it found a
# display then, and with none a window is never shown on any.
xvfb=""
start_x() {
  Xvfb :7 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:7
  # On an emulated CPU beside a build the X server may take longer than its
  # socket suggests: it must answer a request first.
  for _ in $(seq 600); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "window: the X server never answered"
  return 1
}

# The window, driven as a person would on the private X server.
window_scenarios() {
  local t0 win box x y
  [ -n "$xvfb" ] || return
  t0=$(ms)
  $wine "$window_exe" </dev/null >window.log 2>&1 &
  local utility=$!
  win=$(timeout 180 xdotool search --sync --name "^Quorvella USB Upgrade Utility$" | head -1)
  if [ -z "$win" ]; then
    local state="still running"
    kill -0 $utility 2>/dev/null || state="ended"
    fail "window: never shown in $(($(ms) - t0)) ms; the program has $state: $(tail -5 window.log)"
    kill $utility 2>/dev/null
    return
  fi
  say "window: shown $(($(ms) - t0)) ms after start"
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$win")"
  # Wine draws the frame itself: the client area starts 3 pixels in and 22 down.
  client() { xdotool mousemove $((X + 3 + $1)) $((Y + 22 + $2)) click 1; }
  pixel() { import -window root -crop "1x1+$((X + 3 + $1))+$((Y + 22 + $2))" -depth 8 txt:- | tail -1 | grep -o '#[0-9A-F]\{6\}'; }
  choose() {  # the "..." button, then the name typed into the Open dialog
    client $((16 + 440 + 12)) $((64 + 24 + 11))
    timeout 60 xdotool search --sync --onlyvisible --name "^Open$" >/dev/null || { fail "window: no Open dialog"; return 1; }
    sleep 1
    xdotool type --delay 30 "$1"
    xdotool key Return
    sleep 2
  }
  # box CAPTION: waits for the message box with that caption; prints ms waited.
  box() {
    local b0=$(ms)
    timeout 120 xdotool search --sync --onlyvisible --name "^$1\$" >/dev/null || { fail "window: no \"$1\" box"; return 1; }
    echo $(($(ms) - b0))
  }
  dismiss() { xdotool key Return; sleep 1; }
  press_upgrade() { client $((16 + 366 + 50)) $((304 + 24 + 12)); }

  # Upgrade: success, with the gauge full while the box is up.
  choose window.qeff || return
  press_upgrade
  if took=$(box OK); then
    local left right
    left=$(pixel $((16 + 24 + 4)) $((304 + 24 + 4)))
    right=$(pixel $((16 + 24 + 313 - 4)) $((304 + 24 + 4)))
    say "window upgrade: \"OK\" box after $took ms, $(verdict window); gauge ends $left / $right"
    [ "$(verdict window)" = "payload matches" ] || fail "window upgrade: the product found $(verdict window)"
    [ "$right" = "$left" ] && [ "$right" != "#FFFFFF" ] || fail "window upgrade: the gauge is not full ($left, $right)"
    dismiss
  fi
  # A silent product: the time-out box; then the window takes another attempt.
  choose window-silent.qeff || return
  for attempt in 1 2; do
    press_upgrade
    if took=$(box Error); then
      say "window silent product, attempt $attempt: \"Error\" box after $took ms"
      dismiss
    fi
  done
  client $((16 + 37)) $((384 + 12))  # Exit
  local quit=0
  for _ in $(seq 300); do kill -0 $utility 2>/dev/null || { quit=1; break; }; sleep 0.1; done
  [ $quit = 1 ] || { fail "window: Exit did not end the program"; kill $utility; }
}

if [ "$transport" = uhid ]; then
  # Twenty acknowledgements each: every one must come within its 300 ms,
  # through Wine's HID stack on an emulated CPU.
  package ends-inside 0x6001 100 2000       # a block ends inside a report
  package per-report 0x6002 64 1280         # one acknowledgement per report
  package report-ids 0x6003 4096 20000
  package refused 0x6004 4096 20000
  package silent 0x6005 4096 20000
  package unplugged 0x6006 4096 20000
  package two 0x6007 4096 20000
  package window 0x6008 4096 20000
  package window-silent 0x6009 4096 20000
  attach ends-inside ends-inside --serial QV-W1
  attach per-report per-report
  attach report-ids report-ids --report-ids
  attach refused refused --answers 1,6
  attach silent silent --answers 1,silence
  attach unplugged unplugged --unplug-after 40
  attach two-a two
  attach two-b two
  attach window window
  attach window-silent window-silent --answers silence,silence
  start_x || xvfb=""
  start_wine

  t0=$(ms)
  timeout 300 $wine "$qefftool_exe" list ends-inside.qeff </dev/null >list.out 2>&1
  say "list: exit $?, $(($(ms) - t0)) ms: $(grep 1d50:6001 list.out)"
  grep -E "1d50:6001 +out 65 in 65 .*matches the package" list.out >/dev/null ||
    fail "list: the product is not shown as the package's: $(cat list.out)"
  grep -E "1d50:6001 .*serial \"QV-W1\"" list.out >/dev/null ||
    fail "list: the product's serial number is not shown: $(cat list.out)"

  upgrade ends-inside ends-inside 0 "Firmware upgraded successfully" /tmp/windows-programs/ends-inside.qeff
  upgrade per-report per-report 0 "Firmware upgraded successfully" per-report.qeff
  upgrade report-ids report-ids 0 "Firmware upgraded successfully" report-ids.qeff
  upgrade refused refused 6 "Memory write error!" refused.qeff
  upgrade silent silent 7 "Timeout error, try upgrade one more time." silent.qeff
  upgrade unplugged unplugged 7 "Timeout error, try upgrade one more time." unplugged.qeff
  upgrade all two-a 0 "2 of 2 products upgraded" two.qeff --all
  [ "$(verdict two-b)" = "payload matches" ] || fail "all: the second product found $(verdict two-b)"
  window_scenarios
  stop_wine
  [ -z "$xvfb" ] || kill $xvfb 2>/dev/null
  unset DISPLAY
  detach_all
else
  # Two USB ports: the product to upgrade on the first, the one that stops
  # taking reports on the second, both there before the Wine stack starts.
  package gadget 0x6010 4096 20000
  package stalled 0x6011 4096 20000
  attach gadget gadget --serial QV-W2 --udc dummy_udc.0
  attach stalled stalled --stop-reading-after 20 --udc dummy_udc.1
  start_wine
  t0=$(ms)
  timeout 300 $wine "$qefftool_exe" list gadget.qeff </dev/null >list.out 2>&1
  say "list: exit $?, $(($(ms) - t0)) ms: $(grep 1d50:6010 list.out)"
  grep -E "1d50:6010 +out 65 in 65 .*matches the package" list.out >/dev/null ||
    fail "list: the product is not shown as the package's: $(cat list.out)"
  grep -E "1d50:6010 .*serial \"QV-W2\"" list.out >/dev/null ||
    fail "list: the product's serial number is not shown: $(cat list.out)"
  upgrade gadget gadget 0 "Firmware upgraded successfully" gadget.qeff

  # A product that stops taking reports: its writes stay pending in usbhid.
  upgrade stalled stalled 7 "Timeout error, try upgrade one more time." stalled.qeff --json
  first=$(grep -m1 '"progress"' stalled.out | cut -d' ' -f1)
  message=$(grep -m1 '"Timeout error' stalled.out | cut -d' ' -f1)
  if [ -n "$first" ] && [ -n "$message" ]; then
    say "stalled: the time-out message $((message - first)) ms after the first report, the program ended $((ended - message)) ms after it"
    # A block's reports at 50 ms each, the acknowledgement's 300 ms, a second
    # to spare; but under Wine the first write the product does not take holds
    # WriteFile itself until usbhid gives it up after 5 s (Wine's HID bus
    # writes to hidraw synchronously; Windows' HID class driver leaves the
    # write pending), and that write's failure ends the transfer.
    bound=$((64 * 50 + 300 + 1000))
    [ $bound -ge $((5000 + 1000)) ] || bound=$((5000 + 1000))
    [ $((message - first)) -le $bound ] || fail "stalled: the time-out message came too late"
    [ $((ended - message)) -le 3000 ] || fail "stalled: the program took too long to end after the message"
  else
    fail "stalled: no progress or no time-out message"
  fi
  stop_wine
  detach_all
fi

[ "$failures" = 0 ] && say "all scenarios as they must be" || say "$failures failure(s)"
[ "$failures" = 0 ]
