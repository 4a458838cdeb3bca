#!/usr/bin/env bash
# Measures the utility's transfer on a real kernel: boots the stock Debian
# kernel in QEMU and runs the transfer against a uhid product beside a bare
# write/poll/read loop on the same device, built optimised.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target kernel_transfer_bench
tests/kernel/run-in-guest.sh build/kernel-cache build/release/bench/kernel_transfer_bench
