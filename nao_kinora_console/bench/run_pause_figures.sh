#!/usr/bin/env bash
# Pause's round trip through the console program under load (docs/benchmarks.md):
# builds pause_figures, then runs it on a private master with the real node,
# the simulated peers and a PostgreSQL server of its own. Arguments go to
# pause_figures (--pauses N, 30; --gap SECONDS, 0.2). KINORA_WS selects the
# build workspace, as for setup.sh. The table is on standard output; each
# Pause as it is measured on standard error.
#
#   nao_kinora_console/bench/run_pause_figures.sh [--pauses N] [--gap SECONDS]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
log=$(mktemp /tmp/kinora_pause_build_XXXXXX.log)

echo "building ..." >&2
"$root/scripts/setup.sh" -j2 pause_figures >"$log" 2>&1 || { echo "build failed: $log" >&2; exit 1; }
rm -f "$log"
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) before"
"$ws/devel/lib/nao_kinora_console/pause_figures" "$@"
echo "load $(cut -d' ' -f1-3 /proc/loadavg) after"
