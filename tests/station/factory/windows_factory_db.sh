#!/usr/bin/env bash
# The Windows build's factory database tests under Wine, whose odbc32 hands
# the calls to the host's unixODBC and psqlODBC, against a PostgreSQL server
# started here as the Linux tests start theirs (as "postgres" when run as
# root). Exit code 77 (skipped) where PostgreSQL is not installed.
#   windows_factory_db.sh WINE_RUN TESTS_EXE [ARGUMENTS...]
set -euo pipefail
wine_run=$1 tests=$2
shift 2

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
driver=$(ls /usr/lib/*/odbc/psqlodbcw.so 2>/dev/null | head -n 1 || true)
if [ -z "$bin" ] || [ -z "$driver" ]; then
  echo "PostgreSQL or psqlODBC is not installed (postgresql, odbc-postgresql): scripts/install-deps.sh"
  exit 77
fi

folder=$(mktemp -d) out=$(mktemp)
as=()
if [ "$(id -u)" -eq 0 ]; then
  as=(runuser -u postgres --)
  chmod 711 "$folder"
fi
mkdir "$folder/data" "$folder/run"
[ ${#as[@]} -eq 0 ] || chown postgres "$folder/data" "$folder/run"
trap '"${as[@]}" "$bin/pg_ctl" -D "$folder/data" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$folder" "$out"' EXIT

# No waiting for the disk (-N, fsync=off): the cluster goes with the test.
"${as[@]}" "$bin/initdb" -N -D "$folder/data" -A trust -U qeff >/dev/null
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if ! "${as[@]}" "$bin/pg_ctl" -D "$folder/data" -l "$folder/run/server.log" -w \
     -o "-p $port -k $folder/run -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null; then
  cat "$folder/run/server.log"
  exit 1
fi

code=0
QEFF_TEST_POSTGRESQL_SERVER="Driver=$driver;Server=127.0.0.1;Port=$port;UID=qeff;" \
  "$wine_run" "$tests" "$@" >"$out" 2>&1 || code=$?
cat "$out"
[ $code -eq 0 ] || exit $code
# A test skipped here did not reach the server.
if grep -q '^\[  SKIPPED \]' "$out"; then
  echo "tests were skipped: the server was not reached"
  exit 1
fi
