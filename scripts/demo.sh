#!/usr/bin/env bash
# A whole nao_kinora session on this machine: the node plays the nine sample
# exercises to simulated peers (audio player, motion executor, tracking node,
# report reader) on a private ROS master, and shows the cues, the progress of
# each exercise and the joints that moved, up to the closing cue.
#
#   scripts/demo.sh [--speed N] [--no-sound] [--no-install] [--no-build]
#
#   --speed N     simulated seconds per wall second (default 4: the session of
#                 about 6 minutes takes about 90 s); --speed 1 is the real session
#   --no-sound    neither make nor play the spoken cues
#   --no-install  do not install missing Debian packages
#   --no-build    use the workspace as it is built
#
# The workspace is KINORA_WS (default build/ws). The session runs in a network
# namespace of its own where unshare allows it, with the loopback device only,
# and everything in it listens on the loopback address. Exit status: 0 after
# the closing cue, 130 on Ctrl-C, 1 when the session did not end with it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
exercises="$root/nao_kinora_sim/exercises"
closed_status=255  # the node's exit status after the closing cue
stop_wait=10       # seconds a process gets to stop on SIGINT before SIGKILL

args=("$@")
speed=4
sound=yes
install=yes
build=yes
usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --speed) speed=${2:?--speed needs a number}; shift ;;
    --no-sound) sound= ;;
    --no-install) install= ;;
    --no-build) build= ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

[[ "$speed" =~ ^[0-9]*\.?[0-9]+$ ]] && [[ ! "$speed" =~ ^[0.]+$ ]] ||
  { echo "--speed needs a number above 0, not [$speed]" >&2; exit 2; }

if [ -n "$build" ]; then
  no_install=""
  [ -n "$install" ] || no_install=1
  KINORA_WS="$ws" KINORA_NO_INSTALL="$no_install" "$root/scripts/setup.sh"
fi

# roscpp's XML-RPC servers listen on every address, whatever ROS_HOSTNAME says.
# In a network namespace of its own, where only the loopback device exists,
# the session opens nothing to the network; installing and building, which
# may need the network, are done by then.
if [ -z "${KINORA_DEMO_PRIVATE_NET:-}" ]; then
  netns=(--net)
  [ "$(id -u)" -eq 0 ] || netns+=(--map-root-user)
  if command -v ip >/dev/null && unshare "${netns[@]}" true 2>/dev/null; then
    KINORA_DEMO_PRIVATE_NET=1 exec unshare "${netns[@]}" -- "$0" "${args[@]}" --no-install --no-build
  fi
  echo "demo: warning: no private network namespace (unshare, ip): the nodes' XML-RPC ports" \
    "listen on every address while the demo runs" >&2
else
  ip link set lo up
fi

set +u  # setup.bash reads variables that may be unset
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u

run="$ws/demo"  # logs of the last run
rm -rf "$run"
mkdir -p "$run/log"
sounds=""
if [ -n "$sound" ] && command -v espeak-ng >/dev/null; then
  sounds="$ws/cue_sounds"
  "$root/nao_kinora_sim/scripts/make_cue_sounds.sh" "$sounds"
fi

# A private master on a free loopback port; nothing listens beyond this machine.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export ROS_MASTER_URI="http://localhost:$port" ROS_HOSTNAME=localhost ROS_IP=127.0.0.1
export ROS_HOME="$run" ROS_LOG_DIR="$run/log"

# Each process started below leads a process group of its own (job control),
# so stopping one group stops everything it started, and a Ctrl-C reaches
# only this script, which then stops them in order.
set -m
pids=()
stop_all() {
  trap - INT TERM EXIT
  local pid
  for pid in "${pids[@]}"; do
    kill -INT -- "-$pid" 2>/dev/null || true
  done
  for ((tenth = 0; tenth < stop_wait * 10; ++tenth)); do
    kill -0 "${pids[@]}" 2>/dev/null || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do
    kill -KILL -- "-$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap 'stop_all; echo "demo: interrupted" >&2; exit 130' INT TERM
trap stop_all EXIT

# Views of a process's output: all of it goes to a log, the part worth seeing
# to the screen as it comes. They ignore Ctrl-C, so that nothing loses its
# output while it is being stopped.
peers_view() {
  trap '' INT
  tee "$run/peers.log" | grep --line-buffered -E '^\[(audio|clock|motion|tracking|report)\]|WARN|ERROR|FATAL|died'
}
node_view() {
  trap '' INT
  tee "$run/node.log" | grep --line-buffered -v '^burdayım$' | sed -u 's/^/[node] /'
}

echo "demo: master on $ROS_MASTER_URI, speed ${speed}x, logs in $run"
rosmaster --core -p "$port" > "$run/master.log" 2>&1 &
pids+=($!)
for ((tenth = 0; ; ++tenth)); do
  rosparam set /use_sim_time true 2>/dev/null && break
  [ "$tenth" -lt 100 ] || { echo "demo: the ROS master did not start" >&2; exit 1; }
  sleep 0.1
done

# roslaunch's own lines stay in its log; the peers' lines and any warning or
# error are shown. The node's "burdayım" per row would drown the rest.
roslaunch --skip-log-check --no-summary --disable-title nao_kinora_sim peers.launch \
  speed:="$speed" sound_dir:="$sounds" > >(peers_view) 2>&1 &
pids+=($!)

mapfile -t files < <(cd "$exercises" && ls -- *.txt)
rosrun nao_kinora nao_kinora "${#files[@]}" "${files[@]}" _recording_dir:="$exercises/" \
  > >(node_view) 2>&1 &
node=$!
pids=("$node" "${pids[@]}")

status=0
wait "$node" || status=$?
stop_all
if [ "$status" -ne "$closed_status" ]; then
  echo "demo: the session did not end with the closing cue (node exit status $status)" >&2
  exit 1
fi
echo "demo: session complete"
