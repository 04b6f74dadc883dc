#!/usr/bin/env bash
# The script tests' PostgreSQL server (pg_test_server.sh): made and run as an
# unprivileged user on the address given (one other than 127.0.0.1), stopped
# and started again with its data, gone with its folder at the end, and
# stopped by itself when the shell that started it is killed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pg_test_server.sh"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
trap pg_test_end EXIT

pg_test_init 127.0.0.2
[ "$PG_TEST_URL" = "postgresql://kinora@127.0.0.2:$PG_TEST_PORT/kinora" ] || fail "PG_TEST_URL is [$PG_TEST_URL]"
sql() { "$PG_TEST_BIN/psql" -q -X -t -A -v ON_ERROR_STOP=1 "$PG_TEST_URL" -c "$1"; }
sql "CREATE TABLE t(x BIGINT); INSERT INTO t VALUES (7)"
[ "$(ps -o user= -p "$PG_TEST_PID")" = "$(pg_test_user)" ] || fail "the server does not run as $(pg_test_user)"
[ "$(sql 'SELECT inet_server_addr()')" = 127.0.0.2 ] || fail "the server does not listen on 127.0.0.2"
pg_test_stop
! sql "SELECT 1" 2>/dev/null || fail "the server still answers after pg_test_stop"
pg_test_start
[ "$(sql 'SELECT x FROM t')" = 7 ] || fail "the row is not there after pg_test_start"
dir=$PG_TEST_DIR
pid=$PG_TEST_PID
pg_test_end
[ ! -e "$dir" ] || fail "pg_test_end left $dir"
! kill -0 "$pid" 2>/dev/null || fail "pg_test_end left the server running"

# A shell killed outright: its server stops by itself (its parent-death signal).
started=$(mktemp)
(
  pg_test_init
  echo "$PG_TEST_PID $PG_TEST_DIR" >"$started.tmp"
  mv "$started.tmp" "$started"  # whole, for the wait below
  exec sleep infinity
) &
shell=$!
until [ -s "$started" ]; do
  kill -0 "$shell" 2>/dev/null || fail "the server in the killed shell did not start"
  sleep 0.01
done
read -r pid dir <"$started"
rm -f "$started"
kill -KILL "$shell"
wait "$shell" 2>/dev/null || true  # reaped quietly: its death is the point
deadline=$((SECONDS + 60))  # only a server that ignores its parent's death reaches it
while kill -0 "$pid" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the server outlived the shell that started it"
  sleep 0.01
done
rm -rf "$dir"
echo "pg_test_server.sh: every check passed"
