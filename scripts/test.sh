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
run windows-cross  # the Windows parts, cross-built, their tests under Wine
run fuzz           # each fuzzer for its bounded time
scripts/static-analysis.sh
