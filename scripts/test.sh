#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The utility, its tools and every test here, the kernel tests in QEMU included.
cmake --preset debug
cmake --build --preset debug
ctest --preset debug

# The Windows parts: cross-built, and their tests run under Wine.
cmake --preset windows-cross
cmake --build --preset windows-cross
ctest --preset windows-cross
