#!/usr/bin/env bash
# Takes the README's screenshot of the Windows program under Wine: it opens a
# sample package through the system's file dialog and captures the main window
# with the frame Wine draws. Needs xdotool and imagemagick, and the
# windows-cross build (cmake --preset windows-cross && cmake --build --preset windows-cross).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/main-window-windows.png}")
build=build/windows-cross
work=$(mktemp -d)
trap 'rm -rf "$work"; WINEPREFIX=$PWD/$build/wineprefix wineserver -k 2>/dev/null || true' EXIT

scripts/wine-run.sh "$build/tools/qefftool.exe" make -o "$(realpath "$work")/sensor-hub.qeff" \
  --vid 0x1d50 --pid 0x6018 --block 4096 --name "Quorvella Sensor Hub" --code "QSH-200" \
  --firmware-code "FW-2.4.1" \
  --notes "$(printf 'Keep the product plugged in until the upgrade has finished.\r\nThis release improves USB power management.')" \
  --firmware "$(realpath "$build/tools/qefftool.exe")" >/dev/null
cp assets/LogoQuorvella.png "$build/src/app/win32/quorvella_upgrade_utility.exe" "$work/"
(cd "$work" && WINE_RUN_BUILD="$OLDPWD/$build" exec "$OLDPWD/scripts/wine-run.sh" ./quorvella_upgrade_utility.exe) \
  >/dev/null 2>&1 &
DISPLAY=$(cat "$build/.wine-display")
export DISPLAY
for _ in $(seq 100); do xdotool search --name "^Quorvella USB Upgrade Utility$" >/dev/null 2>&1 && break; sleep 0.1; done
win=$(xdotool search --name "^Quorvella USB Upgrade Utility$" | head -1)
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((X + 3 + 16 + 440 + 12)) $((Y + 22 + 64 + 24 + 11)) click 1  # the "..." button
sleep 2
xdotool type --delay 20 "sensor-hub.qeff"
xdotool key Return
sleep 1.5
mkdir -p "$(dirname "$out")"
import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$out"
echo "$out"
