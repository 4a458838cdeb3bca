#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
run() {  # configure, build and test one preset
  cmake --preset "$1"
  cmake --build --preset "$1"
  ctest --preset "$1"
}

run debug          # the utility, its tools and every test, the kernel tests in QEMU included
run sanitize       # the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
run tsan           # the code that runs threads under ThreadSanitizer
run windows-cross  # the Windows program, qefftool and their tests under Wine, the installer and the zip
scripts/check-windows-installer.sh  # the installer installed, started and uninstalled under Wine
cmake --preset release && cmake --build --preset release && (cd build/release && cpack --config CPackConfig.cmake)
scripts/check-linux-package.sh      # the Debian package installed, started and removed
run fuzz           # each fuzzer for its bounded time
scripts/static-analysis.sh
