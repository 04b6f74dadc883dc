#!/usr/bin/env bash
# The clinic database's figures on a PostgreSQL server of its own, run by hand
# on a built workspace (scripts/setup.sh tests):
#
#   scripts/clinic_figures.sh [CONSOLES [SESSIONS [PAGE_SESSIONS]]]
#
# CONSOLES (10) consoles writing at once, SESSIONS (50) sessions of nine
# exercises each; then one patient with PAGE_SESSIONS (10000) sessions, and
# the time to the first byte of their page's data from a console on that
# server, as the page asks for it (the latest 100) and whole (21 requests
# each: median and slowest).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
consoles=${1:-10}
sessions=${2:-50}
page=${3:-10000}
bin="$ws/devel/lib/nao_kinora_console"

set +u  # setup.bash reads variables that may be unset
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=ros_env.sh
source "$root/scripts/ros_env.sh"
# shellcheck source=../nao_kinora_console/test/pg_test_server.sh
source "$root/nao_kinora_console/test/pg_test_server.sh"

run=$(mktemp -d /tmp/clinic_figures.XXXXXX)
master="" console=""
finish() {
  for p in $console $master; do kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  pg_test_end
  rm -rf "$run"
}
trap finish EXIT
pg_test_init
echo "PostgreSQL $("$PG_TEST_BIN/postgres" --version | awk '{print $3}') on $PG_TEST_URL"

"$bin/clinic_load_figures" writers "$PG_TEST_URL" "$consoles" "$sessions"
patient=$("$bin/clinic_load_figures" fill "$PG_TEST_URL" "$page" | sed -n 's/^patient //p')

mkdir -p "$run/log"
ros_private_env "$run"
rosmaster --core -p "$ros_port" >"$run/master.log" 2>&1 &
master=$!
ros_wait_for_master 15
"$bin/nao_kinora_console" _port:=0 _database:="$PG_TEST_URL" _room:=figures >"$run/console.out" 2>"$run/console.err" &
console=$!
for _ in $(seq 300); do grep -q '^console: ' "$run/console.out" && break; sleep 0.1; done
address=$(sed -n 's/^console: \(http:[^?]*\/\).*/\1/p' "$run/console.out")
[ -n "$address" ] || { echo "the console did not start: $(cat "$run/console.err")" >&2; exit 1; }
# As the patient's page asks (its latest 100 sessions), and every session at once.
for query in "?recent=100" ""; do
  url="${address}api/clinic/patients/$patient$query"
  for _ in $(seq 21); do curl -sS -o /dev/null -w '%{time_starttransfer} %{size_download}\n' "$url"; done |
    sort -n >"$run/times"
  awk -v n="$page" -v q="${query:-(all)}" '{ t[NR] = $1; size = $2 } END {
    printf "patient page data %s, %d sessions: first byte median %.1f ms, slowest %.1f ms (%.2f MB)\n",
      q, n, 1000 * t[int((NR + 1) / 2)], 1000 * t[NR], size / 1e6 }' "$run/times"
done
