#!/usr/bin/env bash
# The tracker's decision latency (docs/benchmarks.md): a private master, the
# tracker, and the benchmark playing 03_arms_to_the_side at 4x with a
# simulated patient, ROUNDS times (default 10). KINORA_WS selects the build
# workspace, as for setup.sh.
#
#   nao_kinora_tracker/bench/run_decision_latency.sh [ROUNDS]
set -euo pipefail

rounds=${1:-10}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
run=$(mktemp -d /tmp/kinora_tracker_bench_XXXXXX)

echo "building ..."
"$root/scripts/setup.sh" nao_kinora_tracker_node nao_kinora_tracker_bench >"$run/build.log" 2>&1 ||
  { echo "build failed: $run/build.log" >&2; exit 1; }
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=../../scripts/ros_env.sh
source "$root/scripts/ros_env.sh"
ros_private_env "$run"

pids=()
cleanup() {
  # Background jobs of a script ignore SIGINT.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT

rosmaster --core -p "$ros_port" >"$run/master.log" 2>&1 &
pids+=($!)
ros_wait_for_master
"$ws/devel/lib/nao_kinora_tracker/nao_kinora_tracker" >"$run/tracker.log" 2>&1 &
pids+=($!)
echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$ws/devel/lib/nao_kinora_tracker/nao_kinora_tracker_bench" \
  "$root/nao_kinora_sim/exercises/03_arms_to_the_side.txt" "$rounds"
