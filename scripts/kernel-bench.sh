#!/usr/bin/env bash
# Measures the utility's transfer on a real kernel: boots the stock Debian
# kernel in QEMU and runs, built optimised, the transfer over uhid and over a
# USB gadget, beside a bare write/poll/read loop on the same device and as the
# real window (offscreen) runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target kernel_transfer_bench
tests/kernel/run-in-guest.sh --host-root build/kernel-cache "$(pwd)/build/release/bench/kernel_transfer_bench"
