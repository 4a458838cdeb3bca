#!/usr/bin/env bash
# Takes the README's screenshot from the real program under Xvfb: it opens a
# sample package through the file dialog and captures the main window.
# Needs: xvfb xauth xdotool imagemagick, and a release build (scripts/start.sh builds one).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/main-window.png}"
build=build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tools/qefftool" make -o "$work/sensor-hub.qeff" --vid 0x1d50 --pid 0x6018 --block 4096 \
  --name "Quorvella Sensor Hub" --code "QSH-200" --firmware-code "FW-2.4.1" \
  --notes "$(printf 'Keep the product plugged in until the upgrade has finished.\r\nThis release improves USB power management.')" \
  --firmware "$build/tools/qefftool" >/dev/null
cp assets/LogoQuorvella.png "$work/"
app=$(realpath "$build/src/app/qt/quorvella_upgrade_utility")
mkdir -p "$(dirname "$out")"
out=$(realpath "$out")

xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -e
  cd "$1"
  "$2" & pid=$!
  for _ in $(seq 50); do xdotool search --name "^Quorvella USB Upgrade Utility$" >/dev/null 2>&1 && break; sleep 0.1; done
  win=$(xdotool search --name "^Quorvella USB Upgrade Utility$" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + 16 + 440 + 12)) $((Y + 64 + 24 + 11)) click 1   # the "..." button
  sleep 1.5
  xdotool type --delay 20 "sensor-hub.qeff"; xdotool key Return
  sleep 1
  import -window root -crop 528x424+$X+$Y +repage "$3"
  kill $pid
' _ "$work" "$app" "$out"
echo "$out"
