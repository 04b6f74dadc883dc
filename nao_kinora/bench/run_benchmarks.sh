#!/usr/bin/env bash
# Builds the node and the benchmark receiver, then measures in wall time, against
# a private ROS master:
#  1. playback pacing: 1000 rows of 40 ms played by the node, and at the same
#     time the same joint messages played by `rosbag play`, each against a
#     receiver of its own (the same program);
#  2. the node's CPU use over 10 s of waiting for the tracking node.
# Takes about a minute and a half. KINORA_WS selects the build workspace, as for setup.sh.
set -euo pipefail

rows=1000
row_seconds=0.04

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"

echo "building ..."
"$root/scripts/setup.sh" nao_kinora_node kinora_pacing_receiver >"$(mktemp)" 2>&1 ||
  { echo "build failed; run scripts/setup.sh nao_kinora_node kinora_pacing_receiver to see why" >&2; exit 1; }
set +u
source "$ws/devel/setup.bash"
set -u
# shellcheck source-path=SCRIPTDIR source=../../scripts/ros_env.sh
source "$root/scripts/ros_env.sh"
bin="$ws/devel/lib/nao_kinora"

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

ros_private_env "$tmp"
rosmaster --core -p "$ros_port" >"$tmp/master.log" 2>&1 &
pids+=($!)
ros_wait_for_master

mkdir -p "$tmp/rec"
/usr/bin/python3 "$here/make_pacing_data.py" "$tmp/rec" "$rows" "$row_seconds"
echo "pacing of $rows rows of ${row_seconds} s (row 0 held 2 s), wall time; error = arrival - (row 0 arrival + durations before)"

# Count 2 with no tracking node: after the first recording the node waits.
"$bin/nao_kinora" 2 pace.txt pace.txt _recording_dir:="$tmp/rec/" >"$tmp/node.out" 2>"$tmp/node.err" &
node=$!
pids+=("$node")
"$bin/kinora_pacing_receiver" nao_kinora "$rows" "$node" >"$tmp/node.figures" &
node_receiver=$!
pids+=("$node_receiver")

# rosbag play runs beside the node's playback, which starts after 15 s of
# greeting and opening cue, so that both meet the same load on the machine.
"$bin/kinora_pacing_receiver" "rosbag play" "$rows" jointAngleArray:=/bag/jointAngleArray >"$tmp/bag.figures" &
bag_receiver=$!
pids+=("$bag_receiver")
sleep 15
rosbag play -q --wait-for-subscribers --prefix /bag "$tmp/rec/pace.bag" >"$tmp/rosbag.log" 2>&1

wait "$bag_receiver"
wait "$node_receiver"
kill -INT "$node"
status=0
wait "$node" || status=$?
cat "$tmp/node.figures" "$tmp/bag.figures"
echo "node ended on SIGINT with status $status"
