#!/usr/bin/env bash
# Boots the guest kernel on the host's files and runs the cross-built Windows
# programs there under Wine, against virtual products on real hidraw nodes.
#
#   windows-programs-on-kernel.sh uhid|gadget WINDOWS_BUILD LINUX_BUILD
#
# LINUX_BUILD (the release preset's folder) gives qeff-virtual-product, qefftool
# for making the packages, and the guest kernel's cache.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
transport=$1
win=$(realpath "$2")
linux=$(realpath -m "$3")
for f in "$linux/tools/qeff-virtual-product" "$linux/tools/qefftool"; do
  [ -x "$f" ] || { echo "no $f: build the release preset and its kernel programs first; skipped" >&2; exit 77; }
done
# The Wine prefix is made on the host, where it is kept (the guest's writes
# are thrown away), with winebus set to list hidraw devices.
export WINE_RUN_BUILD=$win
"$here/../../scripts/wine-run.sh" cmd /c exit >/dev/null
if ! grep -q '"Enable SDL"=dword:00000000' "$win/wineprefix/system.reg"; then  # a prefix older than the setting
  "$here/../../scripts/wine-run.sh" reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
    /v "Enable SDL" /t REG_DWORD /d 0 /f >/dev/null
fi
# Its registry on disk and no server of the host's holding it.
WINEPREFIX=$win/wineprefix wineserver -k 2>/dev/null || true
WINEPREFIX=$win/wineprefix wineserver -w 2>/dev/null || true
exec "$here/run-in-guest.sh" --host-root "$linux/kernel-cache" "$here/windows-programs-in-guest.sh" \
  "$transport" "$win" "$linux"
