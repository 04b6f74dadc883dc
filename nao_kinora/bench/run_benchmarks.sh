#!/usr/bin/env bash
# Builds the node and the benchmark receiver, then measures in wall time, against
# a private ROS master:
#  1. playback pacing: 1000 rows of 40 ms played by the node, and at the same
#     time the same joint messages played by `rosbag play`, each against a
#     receiver of its own (the same program);
#  2. the node's CPU use over 10 s of waiting for the tracking node (round 1).
# Plays --rounds N rounds (5), about a minute each, and says per round which
# player kept the lower p99, where the node's rows fell within rosbag play's
# period and how much CPU the machine lost meanwhile. --busy keeps both cores
# busy meanwhile; --rows DIR keeps each row's arrival and error there, one
# file per player and round. --console runs the web console beside them, with
# a database, and a headless browser showing its running page throughout.
# KINORA_WS selects the build workspace, as for setup.sh.
set -euo pipefail

rows=1000
row_seconds=0.04
rounds=5
busy=0
console=0
rows_dir=""
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --busy) busy=1; shift ;;
    --console) console=1; shift ;;
    --rows) rows_dir=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--busy] [--console] [--rows DIR]" >&2; exit 2 ;;
  esac
done

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"

echo "building ..."
"$root/scripts/setup.sh" nao_kinora_node kinora_pacing_receiver nao_kinora_console_node >"$(mktemp)" 2>&1 ||
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

# CPU time the hypervisor took from this machine (all cores, in ms), and the
# time some task waited for a core; the rows' tail follows both.
steal_ms() { awk '/^cpu / { printf "%d\n", $9 * 1000 / '"$(getconf CLK_TCK)"' }' /proc/stat; }
pressure_ms() { if [ -r /proc/pressure/cpu ]; then sed -n 's/^some .*total=\([0-9]*\).*/\1/p' /proc/pressure/cpu | awk '{ printf "%d\n", $1 / 1000 }'; else echo 0; fi; }

# One round: the node and rosbag play, side by side. Count 2 with no tracking
# node: after the first recording the node waits, which round 1 uses to
# measure its CPU while waiting.
play_round() {
  local round=$1 cpu_pid=""
  "$bin/nao_kinora" 2 pace.txt pace.txt _recording_dir:="$tmp/rec/" >"$tmp/node.out" 2>"$tmp/node.err" &
  local node=$!
  pids+=("$node")
  [ "$round" = 1 ] && cpu_pid=$node
  KINORA_BENCH_ROWS=${rows_dir:+$rows_dir/round$round.node} \
    "$bin/kinora_pacing_receiver" nao_kinora "$rows" $cpu_pid >"$tmp/node.figures" &
  local node_receiver=$!
  pids+=("$node_receiver")
  # rosbag play runs beside the node's playback, which starts after 15 s of
  # greeting and opening cue, so that both meet the same load on the machine.
  KINORA_BENCH_ROWS=${rows_dir:+$rows_dir/round$round.rosbag} \
    "$bin/kinora_pacing_receiver" "rosbag play" "$rows" jointAngleArray:=/bag/jointAngleArray >"$tmp/bag.figures" &
  local bag_receiver=$!
  pids+=("$bag_receiver")
  sleep 15
  local steal_before pressure_before
  steal_before=$(steal_ms)
  pressure_before=$(pressure_ms)
  rosbag play -q --wait-for-subscribers --prefix /bag "$tmp/rec/pace.bag" >"$tmp/rosbag.log" 2>&1
  local stolen=$(($(steal_ms) - steal_before)) waited=$(($(pressure_ms) - pressure_before))
  wait "$bag_receiver"
  wait "$node_receiver"
  kill -INT "$node"
  local status=0
  wait "$node" || status=$?
  [ "$status" = 0 ] || echo "round $round: node ended on SIGINT with status $status" >&2
  echo "round $round"
  cat "$tmp/node.figures" "$tmp/bag.figures" | grep -v ' row 0 at steady '
  # Where the node's rows fall within rosbag play's 40 ms period: rows due
  # within a fraction of a millisecond of each other compete for the cores.
  awk -v period="$row_seconds" '/ row 0 at steady / { t[$1] = $(NF - 1) }
    END { p = (t["nao_kinora"] - t["rosbag"]) / period; p -= int(p); if (p < 0) p += 1; if (p >= 0.5) p -= 1
          printf "phase: node rows %+.2f ms from rosbag play rows\n", p * period * 1e3 }' "$tmp/node.figures" "$tmp/bag.figures"
  echo "machine while rosbag played: ${stolen} ms stolen by the hypervisor, tasks kept waiting for a core ${waited} ms"
  cat "$tmp/node.figures" "$tmp/bag.figures" >>"$tmp/all.figures"
}

if [ "$console" = 1 ]; then
  # The console follows the node's status and rows and sends them to the page.
  "$ws/devel/lib/nao_kinora_console/nao_kinora_console" _port:=0 _database:="$tmp/clinic.db" \
    _recording_dir:="$tmp/rec/" >"$tmp/console.out" 2>"$tmp/console.err" &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^console: ' "$tmp/console.out" && break; sleep 0.1; done
  page=$(sed -n 's/^console: //p' "$tmp/console.out")
  chromium --headless --no-sandbox --disable-gpu --user-data-dir="$tmp/chromium" "$page" >/dev/null 2>&1 &
  pids+=($!)
  echo "the console ($page) and a headless browser on its running page, throughout"
fi
if [ "$busy" = 1 ]; then
  echo "both cores kept busy by two 'yes > /dev/null'"
  yes >/dev/null & pids+=($!)
  yes >/dev/null & pids+=($!)
fi
: >"$tmp/all.figures"
for round in $(seq 1 "$rounds"); do
  play_round "$round"
done

# Per round, which player had the lower p99, from row 0 and about the median
# error (a tie counts for the node), and the node's worst figures over all rounds.
awk '
  / p99 / && !/spread/ { for (k = 1; k <= NF; ++k) { if ($k == "p99") p = $(k + 1); if ($k == "max") m = $(k + 1); if ($k == "drift") d = $(k + 1) }
            if ($1 == "nao_kinora") { np = p; nm = m; nd = d < 0 ? -d : d; if (nm > worst) worst = nm; if (nd > drift) drift = nd }
            else { rounds++; if (np + 0 <= p + 0) node++; else bag++ } }
  / spread / { for (k = 1; k <= NF; ++k) if ($k == "p99") s = $(k + 1)
            if ($1 == "nao_kinora") ns = s; else if (ns + 0 <= s + 0) snode++; else sbag++ }
  END { printf "p99: node won %d of %d rounds, rosbag play %d; node max over all rounds %.3f ms, largest |drift| %.3f ms\n",
               node, rounds, bag, worst, drift
        printf "spread p99 about the median error: node won %d of %d rounds, rosbag play %d\n", snode, rounds, sbag }' "$tmp/all.figures"
