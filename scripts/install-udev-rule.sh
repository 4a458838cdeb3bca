#!/usr/bin/env bash
# Grants the user at the seat access to one product's HID interfaces, so the
# utility can upgrade it without root:
#
#   scripts/install-udev-rule.sh 1d50 6018
#   /usr/share/quorvella-upgrade-utility/install-udev-rule.sh 1d50 6018   (installed)
#
# Writes /etc/udev/rules.d/70-quorvella-VID-PID.rules and reloads udev; replug
# the product afterwards.
set -euo pipefail
# The rule's template: beside this script where the package installed both,
# or in the source tree.
here=$(dirname "$(realpath "$0")")
template=$here/70-quorvella-product.rules.in
[ -f "$template" ] || template=$here/../assets/linux/70-quorvella-product.rules.in
[[ $# -eq 2 && $1 =~ ^(0x)?[0-9a-fA-F]{1,4}$ && $2 =~ ^(0x)?[0-9a-fA-F]{1,4}$ ]] || {
  echo "usage: $0 VENDOR_ID PRODUCT_ID   (hexadecimal, e.g. 1d50 6018)" >&2; exit 2; }
vid=$(printf '%04X' "0x${1#0x}")
pid=$(printf '%04X' "0x${2#0x}")
rule=/etc/udev/rules.d/70-quorvella-${vid,,}-${pid,,}.rules
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
sed -e "s/@VID@/$vid/g" -e "s/@PID@/$pid/g" "$template" | $sudo tee "$rule" >/dev/null
$sudo udevadm control --reload-rules 2>/dev/null || true
$sudo udevadm trigger --subsystem-match=hidraw 2>/dev/null || true
echo "installed $rule"
