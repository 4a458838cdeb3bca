#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, and tells
# how long each step took. With --quick: the debug build and its tests, without
# the kernel boots (a developer's inner loop, a few minutes).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
case "$mode" in all | --quick) ;; *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;; esac

# Each step's time, printed as it ends and all together at the end.
started=$SECONDS
timings=()
step() {  # step NAME COMMAND...
  local name=$1 from=$SECONDS
  shift
  echo "=== $name"
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - from)) "$name")")
  echo "=== $name: $((SECONDS - from)) s"
}
report() {
  local name
  for name in "${!pids[@]}"; do  # a step beside the others, left behind by a failure: ended, and shown
    kill -- "-${pids[$name]}" 2>/dev/null || kill "${pids[$name]}" 2>/dev/null || true
    echo "=== $name (ended: a step failed)"
    cat "build/$name.log" 2>/dev/null || true
  done
  echo "=== Time of each step"
  [ ${#timings[@]} -eq 0 ] || printf '%s\n' "${timings[@]}"
  printf '%5d s  in all\n' $((SECONDS - started))
}
build() {  # build PRESET [ninja targets]: configure and build
  cmake --preset "$1" >/dev/null
  if [ $# -gt 1 ]; then cmake --build --preset "$1" --target "${@:2}"; else cmake --build --preset "$1"; fi
}

# A step that runs beside the next ones, in a process group of its own (so
# that a failure elsewhere ends all of it); its output is shown when it is awaited.
declare -A pids froms
beside() {  # beside NAME COMMAND...
  local name=$1
  shift
  echo "=== $name (beside the next steps)"
  froms[$name]=$SECONDS
  setsid "$@" >"build/$name.log" 2>&1 &
  pids[$name]=$!
}
await() {  # await NAME
  local name=$1 status=0
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  cat "build/$name.log"
  timings+=("$(printf '%5d s  %s (beside the others)' $((SECONDS - froms[$name])) "$name")")
  echo "=== $name: $((SECONDS - froms[$name])) s, status $status"
  [ $status -eq 0 ] || exit $status
}

trap report EXIT
step "install what is missing" scripts/install-deps.sh
mkdir -p build

if [ "$mode" = --quick ]; then
  step "debug: build" build debug
  step "debug: tests but the kernel boots" ctest --preset debug -LE kernel -j 2
  exit 0
fi

# The tests that boot a kernel take the debug build's programs (static, so no
# sanitizer); every other test runs once, under AddressSanitizer and
# UndefinedBehaviorSanitizer. The benchmarks are built here too, so that they
# keep building, where they cost least to compile.
step "debug: the programs the kernel tests boot, and the benchmarks" build debug \
  kernel_hid_tests kernel_station_tests kernel_gui_tests qefftool qeff-virtual-product benchmarks
step "sanitize: build" build sanitize
step "sanitize: tests" ctest --preset sanitize
step "tsan: build" build tsan
step "tsan: tests" ctest --preset tsan
step "windows-cross: build" build windows-cross
step "windows-cross: tests under Wine" ctest --preset windows-cross -LE kernel
step "windows installer: installed, started, uninstalled" scripts/check-windows-installer.sh
# Its benchmarks are built by the debug step, where they cost less to compile.
step "release: build and package" bash -c 'cmake --preset release -DQUORVELLA_BUILD_BENCHMARKS=OFF >/dev/null &&
  cmake --build --preset release && cd build/release && cpack --config CPackConfig.cmake'
step "Debian package: installed, started, removed" scripts/check-linux-package.sh
step "fuzz: build" build fuzz
# A guest kernel takes one core (QEMU without KVM), and its tests time the
# window's events: the boots run one after the other, beside steps that take
# the other core alone.
beside kernel-tests bash -c 'ctest --preset debug -L kernel; linux=$?; ctest --preset windows-cross -L kernel; windows=$?
  exit $((linux | windows))'
step "fuzz: each fuzzer for its bounded time" ctest --preset fuzz -j 1
TIDY_JOBS=1 step "clang-tidy" scripts/static-analysis.sh
await kernel-tests
