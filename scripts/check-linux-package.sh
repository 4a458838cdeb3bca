#!/usr/bin/env bash
# Installs the Debian package that the release build wrote, checks it as a user
# meets it (files where the desktop entry and the manual expect them, qefftool,
# the window started the way the desktop entry says, with its logo), then
# removes it and checks that nothing of it is left. Needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
deb=$(realpath build/release/packages/quorvella-upgrade-utility_*_amd64.deb)
name=quorvella-upgrade-utility
fail() { echo "check-linux-package: $*" >&2; exit 1; }

# Lintian's findings are printed; an error fails the check.
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v "root privileges" <<<"$report" || true
[ $status -eq 0 ] || fail "lintian reports errors"

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "$deb" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive $sudo apt-get remove --purge -y -q $name >/dev/null 2>&1 || true' EXIT
mapfile -t files < <(dpkg -L $name)
version=$(dpkg-query -W -f='${Version}' $name)

desktop=/usr/share/applications/com.quorvella.UpgradeUtility.desktop
desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
appstreamcli validate --no-net /usr/share/metainfo/com.quorvella.UpgradeUtility.metainfo.xml >/dev/null ||
  fail "the AppStream metainfo is not valid"
exec=$(sed -n 's/^Exec=//p' "$desktop")
path=$(sed -n 's/^Path=//p' "$desktop")
icon=$(sed -n 's/^Icon=//p' "$desktop")
command -v "$exec" >/dev/null || fail "$exec is not on PATH"
[ -f "$path/LogoQuorvella.png" ] || fail "no logo in the folder the desktop entry starts in"
for size in 48 256; do
  [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" ] || fail "no ${size} px icon"
done
[ "$(qefftool --version)" = "qefftool $version" ] || fail "qefftool --version is not $version"
man -w qefftool >/dev/null && man -w quorvella_upgrade_utility >/dev/null || fail "manual pages not found"
[ -x /usr/share/quorvella-upgrade-utility/install-udev-rule.sh ] || fail "no udev rule helper"

# Started as the desktop entry says, under a private X server: the window
# shows, with the logo (a picture of many colours) at its place.
shot=$(mktemp --suffix=.png)
(cd "$path" && xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -e
  QT_QPA_PLATFORM=xcb "$1" & app=$!
  for _ in $(seq 100); do xdotool search --name "^Quorvella USB Upgrade Utility$" >/dev/null 2>&1 && break; sleep 0.1; done
  win=$(xdotool search --name "^Quorvella USB Upgrade Utility$" | head -1)
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$win")"
  import -window root -crop "200x48+$((X + 20))+$((Y + 10))" +repage "$2"
  kill $app
' _ "$exec" "$shot") || fail "the window did not show"
colours=$(convert "$shot" -format %k info:)
rm -f "$shot"
[ "$colours" -gt 20 ] || fail "the window shows no logo ($colours colours where it belongs)"

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove --purge -y -q $name >/dev/null
trap - EXIT
for f in "${files[@]}"; do
  [ -f "$f" ] || [ -L "$f" ] && fail "$f is left after removal"
done
[ -d /usr/share/quorvella-upgrade-utility ] && fail "its folder is left after removal"
echo "check-linux-package: $name $version installed, started with its logo, and removed without a trace"
