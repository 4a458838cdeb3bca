#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, and tells
# how long each step took. With --quick: the debug build and its tests, without
# the kernel boots (a developer's inner loop, a few minutes).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
case "$mode" in all | --quick) ;; *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;; esac

# Each step's time, and the processor time it took (both cores count: the
# steps beside each other share them), printed as it ends and all together at
# the end.
started=$SECONDS
timings=()
# cpu_seconds FILE: the processor seconds in FILE, as a shell's `times` wrote them.
cpu_seconds() {
  [ -s "$1" ] || { echo "?"; return 0; }  # a step killed before it could tell
  tail -1 "$1" | awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] }
    printf "%d", t }'
}
step() {  # step NAME COMMAND...
  local name=$1 from=$SECONDS
  shift
  echo "=== $name"
  rm -f build/.step.cpu
  ("$@"; times >build/.step.cpu)
  local cpu
  cpu=$(cpu_seconds build/.step.cpu)
  timings+=("$(printf '%5d s  %5s s of processor  %s' $((SECONDS - from)) "$cpu" "$name")")
  echo "=== $name: $((SECONDS - from)) s, $cpu s of processor"
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
lower=""  # the scheduler's idle class while the kernel tests run
build() {  # build PRESET: configure and build
  # A folder another compiler configured: CMake deletes its cache and drops
  # the preset's settings with it, so the preset is given again.
  local said
  said=$(cmake --preset "$1" 2>&1 >/dev/null) || { echo "$said" >&2; return 1; }
  [ -z "$said" ] || echo "$said" >&2
  if [[ $said == *"require your cache to be deleted"* ]]; then
    cmake --preset "$1" >/dev/null
  fi
  $lower cmake --build --preset "$1"
}

# A step that runs beside the next ones, in a process group of its own (so
# that a failure elsewhere ends all of it); its output is shown when it is awaited.
declare -A pids froms
beside() {  # beside NAME COMMAND...
  local name=$1
  shift
  echo "=== $name (beside the next steps)"
  froms[$name]=$SECONDS
  rm -f "build/$name.cpu"
  setsid bash -c '"${@:2}"; status=$?; times >"$1"; exit $status' _ "build/$name.cpu" "$@" >"build/$name.log" 2>&1 &
  pids[$name]=$!
}
await() {  # await NAME
  local name=$1 status=0
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  cat "build/$name.log"
  local cpu
  cpu=$(cpu_seconds "build/$name.cpu")
  timings+=("$(printf '%5d s  %5s s of processor  %s (beside the others)' $((SECONDS - froms[$name])) "$cpu" "$name")")
  echo "=== $name: $((SECONDS - froms[$name])) s, $cpu s of processor, status $status"
  [ $status -eq 0 ] || exit $status
}

trap report EXIT
mkdir -p build
if [ "$mode" = --quick ]; then
  step "install what is missing" scripts/install-deps.sh
  step "debug: build" build debug
  step "debug: tests but the kernel boots" ctest --preset debug -LE kernel -j 2
  exit 0
fi

# What the rest needs is installed while the Linux programs build.
step "install what the Linux build needs" scripts/install-deps.sh --linux-build
beside install-the-rest scripts/install-deps.sh
# The release build gives the package, the benchmarks (so that they keep
# building) and the static programs the kernel tests boot (no sanitizer there).
step "release: build, and the programs the kernel tests boot" bash -c 'cmake --preset release >/dev/null &&
  cmake --build --preset release && cmake --build --preset release --target kernel_hid_tests kernel_station_tests kernel_gui_tests'
await install-the-rest
step "release: package" bash -c 'cd build/release && cpack --config CPackConfig.cmake'

# A guest kernel takes one core (QEMU without KVM), and its tests time the
# window's events: the boots run one after the other, and beside them only
# builds, in the scheduler's idle class (whatever wakes in QEMU takes a core
# from them at once), which take the other core and whatever the guest leaves.
beside linux-kernel-tests ctest --preset release -L kernel
lower="chrt --idle 0"
step "windows-cross: build" build windows-cross
await linux-kernel-tests
beside windows-kernel-tests ctest --preset windows-cross -L kernel
step "sanitize: build" build sanitize
step "tsan: build" build tsan
await windows-kernel-tests
lower=""

# The tests wait more than they compute: two lanes of them side by side, and
# clang-tidy, then the fuzzers, at lower priorities in what they leave. The
# tests that time themselves or count the process's holdings (label "alone")
# come last, beside nothing.
beside windows-tests bash -c 'ctest --preset windows-cross -LE kernel && scripts/check-windows-installer.sh &&
  scripts/check-linux-package.sh'
beside clang-tidy nice -n 10 scripts/static-analysis.sh
beside fuzzers nice -n 19 bash -c 'cmake --preset fuzz >/dev/null && cmake --build --preset fuzz && ctest --preset fuzz -j 2'
# The factory database's tests mostly wait for their server (down, stalled,
# claims expiring): a lane of their own, the two builds' side by side, each
# with a server of its own.
beside database-tests bash -c 'ctest --preset sanitize -L db & a=$!; ctest --preset tsan -R record_db_tests; b=$?;
  wait $a && exit $b'
beside tsan-tests ctest --preset tsan -LE "alone|db"
step "sanitize: tests" ctest --preset sanitize -LE "alone|db"
await tsan-tests
await database-tests
await windows-tests
await clang-tidy
await fuzzers
step "sanitize and tsan: the tests that run alone" bash -c 'ctest --preset sanitize -L alone && ctest --preset tsan -L alone'
