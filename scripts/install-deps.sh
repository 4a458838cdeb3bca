#!/usr/bin/env bash
# Installs what building, running and testing the utility needs on Debian 12 or
# Ubuntu, and nothing when it is all there already. With --linux-build: only
# what the Linux programs' build needs (the test command installs the rest
# while that build runs).
set -euo pipefail

linux_build=(
  g++ cmake ninja-build          # compiler and build
  qt6-base-dev                   # Qt 6 Widgets (also brings Qt Test and the offscreen platform)
  libx11-dev libxfixes-dev libxtst-dev  # the tests that read the X server's cursor and give it real input
  libgtest-dev libbenchmark-dev  # tests and benchmarks
  libcli11-dev nlohmann-json3-dev  # qefftool's command line and its JSON output
  libboost-dev                   # the station's page: Boost.Beast and Boost.Asio, header-only (so the Windows build has them too)
  libssl-dev                     # SHA-256 of packages (OpenSSL's libcrypto)
  libudev-dev pkg-config         # the station's notice of products plugged in (libudev's monitor)
  libacl1-dev                    # the doctor reads the ACLs of hidraw nodes
  unixodbc-dev                   # the station's feed of the factory database (unixODBC)
)
packages=(
  "${linux_build[@]}"
  dbus-daemon                    # a private bus on which the tests play logind
  postgresql odbc-postgresql     # the factory database's tests: a server of their own, reached through ODBC
  fonts-wine                     # the "MS Sans Serif" face the windows are designed in
  fonts-liberation               # its closest scalable stand-in
  qemu-system-x86 busybox-static cpio xz-utils  # the tests on a real Linux kernel, in a guest
  g++-mingw-w64-x86-64-posix googletest wine wine64 xvfb  # the Windows parts, cross-built and run under Wine on a private X server
  llvm                           # its archiver, which the cross build uses, and the symbolizer that names the sanitizers' stacks
  clang lld clang-tidy           # the sanitizer builds, the fuzzers and the static analysis
  dpkg-dev lintian desktop-file-utils appstream man-db  # the Debian package: built, checked, installed
  nsis                           # the Windows installer
  xauth xdotool imagemagick      # seeing the installed programs' windows
  chromium                       # the station's page tried in a real browser, headless
)
case "${1:-}" in
  --linux-build) packages=("${linux_build[@]}") ;;
  "") ;;
  *) echo "usage: scripts/install-deps.sh [--linux-build]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=no
install() {
  [ $# -eq 0 ] && return 0
  echo "Installing: $*"
  [ $updated = yes ] || $sudo apt-get update -q
  updated=yes
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
install "${missing[@]}"

[ "${1:-}" = --linux-build ] && exit 0
# libFuzzer and clang's sanitizer runtimes come in packages named after clang's version.
version=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
missing=()
for p in "libfuzzer-$version-dev" "libclang-rt-$version-dev"; do installed "$p" || missing+=("$p"); done
install "${missing[@]}"
