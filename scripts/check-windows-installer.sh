#!/usr/bin/env bash
# Runs the Windows installer silently under Wine into the test prefix, checks
# the files, the Start-menu shortcut (which starts the utility in the install
# folder) and the Add/Remove Programs entry, starts the installed utility from
# that folder and sees its window with the logo, then uninstalls silently and
# checks that everything is gone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath build/windows-cross)
export WINE_RUN_BUILD=$build
export WINE_RUN_ONCE=1  # the installers print nothing: a failed one must not pass on a second try
setup=$(ls "$build"/packages/QuorvellaUpgradeUtility-*-setup.exe)
prefix=$build/wineprefix
dir="$prefix/drive_c/Program Files/Quorvella USB Upgrade Utility"
lnk="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvella USB Upgrade Utility.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvellaUpgradeUtility'
fail() { echo "check-windows-installer: $*" >&2; exit 1; }
registered() { scripts/wine-run.sh reg query "$key" /v DisplayVersion 2>/dev/null | grep -q DisplayVersion; }

scripts/wine-run.sh "$setup" /S >/dev/null
for f in quorvella_upgrade_utility.exe qefftool.exe LogoQuorvella.png README.md LICENSE.txt docs/command-line.md uninstall.exe; do
  [ -f "$dir/$f" ] || fail "$f was not installed"
done
[ -f "$lnk" ] || fail "no Start-menu shortcut"
# The shortcut's start folder is the install folder (a UTF-16 string of its own
# in the link, after its length).
strings -e l "$lnk" | grep -qE '^.?C:\\Program Files\\Quorvella USB Upgrade Utility$' ||
  fail "the shortcut does not start in the install folder"
registered || fail "not registered with Add/Remove Programs"
scripts/wine-run.sh "$dir/qefftool.exe" --version | grep -q "qefftool" || fail "the installed qefftool does not run"

# Started as the shortcut starts it: the window shows, with its logo.
(cd "$dir" && exec "$OLDPWD/scripts/wine-run.sh" ./quorvella_upgrade_utility.exe) >/dev/null 2>&1 &
DISPLAY=$(cat "$build/.wine-display")
export DISPLAY
for _ in $(seq 150); do xdotool search --name "^Quorvella USB Upgrade Utility$" >/dev/null 2>&1 && break; sleep 0.1; done
win=$(xdotool search --name "^Quorvella USB Upgrade Utility$" | head -1)
[ -n "$win" ] || fail "the installed utility showed no window"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"
shot=$(mktemp --suffix=.png)
# Wine draws the frame itself: the client area starts 3 pixels in and 22 down.
import -window root -crop "200x48+$((X + 3 + 20))+$((Y + 22 + 10))" +repage "$shot"
colours=$(convert "$shot" -format %k info:)
rm -f "$shot"
pkill -f quorvella_upgrade_utility.exe || true
[ "$colours" -gt 20 ] || fail "the window shows no logo ($colours colours where it belongs)"

# The uninstaller copies itself away and returns at once: wait for it.
scripts/wine-run.sh "$dir/uninstall.exe" /S >/dev/null
for _ in $(seq 150); do [ -d "$dir" ] || break; sleep 0.2; done
[ -d "$dir" ] && fail "the install folder is left after uninstalling"
[ -f "$lnk" ] && fail "the shortcut is left after uninstalling"
registered && fail "still registered after uninstalling"
echo "check-windows-installer: installed, started from its shortcut's folder with its logo, and uninstalled"
