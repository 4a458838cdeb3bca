#!/usr/bin/env bash
# clang-tidy over the project's own sources as the debug build compiles them,
# with the checks in .clang-tidy and every finding an error. TIDY_JOBS=N runs
# N at once (all the processors by default).
set -euo pipefail
cd "$(dirname "$0")/.."
db=build/debug/compile_commands.json
[ -f "$db" ] || cmake --preset debug >/dev/null

files=$(grep -o '"file": "[^"]*"' "$db" | cut -d'"' -f4 | grep -E "^$PWD/(src|tools)/" | sort -u)
echo "clang-tidy: $(echo "$files" | wc -l) files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! echo "$files" | xargs -P"${TIDY_JOBS:-$(nproc)}" -n4 clang-tidy -p build/debug --quiet >"$log" 2>&1; then
  grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated" "$log" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: no findings"
