#!/usr/bin/env bash
# How close the robot comes to each row at the row's end, and how long the
# motion executor takes from a row to its commands: a whole session of the
# nine samples through the executor and the simulated robot behind its
# driver (bench_session.launch), at each patient speed given, on a private
# master, listened to by robot_bench.py. Run by hand on a built workspace
# (KINORA_WS, as for setup.sh); about 6 minutes per speed at --clock 1.
#
#   nao_kinora_robot/bench/robot_bench.sh [--clock N] [--speeds "1 1.5"]
#
#   --clock N    simulated seconds per wall second (1: wall time, the figure
#                that counts; more: quicker, each wall millisecond N times
#                longer in the robot's time)
#   --speeds S   the patient speeds, separated by blanks (default "1 1.5")
set -euo pipefail

clock=1
speeds="1 1.5"
while [ $# -gt 0 ]; do
  case $1 in
    --clock) clock=$2; shift 2 ;;
    --speeds) speeds=$2; shift 2 ;;
    *) echo "usage: $0 [--clock N] [--speeds \"1 1.5\"]" >&2; exit 2 ;;
  esac
done

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=../../scripts/ros_env.sh
source "$root/scripts/ros_env.sh"

run=$(mktemp -d "${TMPDIR:-/tmp}/robot_bench.XXXXXX")
launch=""
stop() { [ -z "$launch" ] || kill -INT "$launch" 2>/dev/null || true; wait 2>/dev/null || true; }
trap stop EXIT
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); logs in $run"
for speed in $speeds; do
  ros_private_env "$run/$speed"
  mkdir -p "$run/$speed/log"
  roslaunch --skip-log-check --no-summary --disable-title "$here/bench_session.launch" clock:="$clock" \
    speed:="$speed" session_log:="$run/$speed/session.jsonl" > "$run/$speed/launch.log" 2>&1 &
  launch=$!
  ros_wait_for_master 30
  /usr/bin/python3 "$here/robot_bench.py" "speed $speed, clock ${clock}x"
  wait "$launch" || true
  launch=""
  echo "rows not sent: $(grep -a -c 'not sent' "$run/$speed/launch.log" || true)"
done
echo "machine load after: $(cut -d' ' -f1-3 /proc/loadavg)"
