#!/usr/bin/env bash
# clang-tidy over the programs' own sources, with the checks in .clang-tidy and
# every finding an error. The sources are read a batch at a time (the tidy
# preset's unity build, a batch per target), so that Qt, Boost.Beast and CLI11
# are parsed and matched once a target rather than once a file: the checks'
# matching over those headers costs far more than the parsing (a batch per
# target takes 160 s of processor, eight files a batch 220 s). TIDY_JOBS=N runs
# N at once (all the processors by default).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tidy >/dev/null
db=build/tidy/compile_commands.json

# The batches, and any source of src/ or tools/ that is in none.
files=$(grep -o '"file": "[^"]*"' "$db" | cut -d'"' -f4 |
  grep -E "^$PWD/((src|tools)/|build/tidy/(src|tools)/.*/Unity/unity_)" | sort -u)
echo "clang-tidy: $(echo "$files" | wc -l) batches of $(grep -h '^#include' $(echo "$files" | grep /Unity/) | wc -l) files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! echo "$files" | xargs -P"${TIDY_JOBS:-$(nproc)}" -n1 clang-tidy -p build/tidy --quiet \
  --checks=-bugprone-suspicious-include >"$log" 2>&1; then  # a batch includes .cpp files by design
  grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated" "$log" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi
# misc-unused-using-decls looks only at a translation unit's own file, which
# for a batch is the generated one: it runs over each source that has a
# using-declaration, file by file, as the debug build compiles it.
cmake --preset debug >/dev/null
using=$(grep -lE '^\s*using\s+[A-Za-z_][A-Za-z0-9_:]*::[A-Za-z0-9_]+\s*;' -r src tools --include='*.cpp' |
  while read -r f; do if grep -q "\"file\": \"$PWD/$f\"" build/debug/compile_commands.json; then echo "$f"; fi; done)
if [ -n "$using" ] && ! echo "$using" | xargs -P"${TIDY_JOBS:-$(nproc)}" -n4 clang-tidy -p build/debug --quiet \
  --checks='-*,misc-unused-using-decls' >"$log" 2>&1; then
  grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated" "$log" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: no findings"
