#!/usr/bin/env bash
# A whole nao_kinora session on this machine: the node plays the nine sample
# exercises to simulated peers (audio player, motion executor, tracking node,
# report reader) on a private ROS master, all started by roslaunch
# (nao_kinora_sim demo.launch), and shows the cues, the progress of each
# exercise and the joints that moved, up to the closing cue. The session
# console (nao_kinora_console) runs beside it: its address is the first line.
#
#   scripts/demo.sh [--speed N] [--console-port N] [--patient] [--rviz] [--driver] [--no-sound] [--no-install] [--no-build]
#
#   --speed N     simulated seconds per wall second (default 4: the session of
#                 about 6 minutes takes about 90 s); --speed 1 is the real session
#   --console-port N  the console's port on 127.0.0.1 (default 8080, or a free
#                 one when 8080 is taken)
#   --patient     a simulated patient (0.6 of the robot's range, 0.5 s late)
#                 watched by the person tracker (nao_kinora_tracker) instead
#                 of the simulated tracking node: the session log then holds
#                 each exercise's ranges and follow score
#   --rviz        also show the simulated robot in rviz (needs a display)
#   --driver      move the simulated robot as a real NAO is moved: through the
#                 motion executor for the robot's own driver (nao_kinora_robot)
#                 and the simulated robot behind its driver
#   --no-sound    neither make nor play the spoken cues
#   --no-install  do not install missing Debian packages
#   --no-build    use the workspace as it is built
#
# The workspace is KINORA_WS (default build/ws). The session runs in a network
# namespace of its own where unshare allows it, with the loopback device only,
# and everything in it listens on the loopback address; the console's port is
# carried out of it to this machine's loopback address through a socket file
# (socat). Exit status: 0 after
# the closing cue, 130 on Ctrl-C, 1 when the session did not end with it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
stop_wait=10  # seconds a process gets to stop on SIGINT before roslaunch sends SIGTERM

args=("$@")
speed=4
sound=yes
install=yes
build=yes
console_port=""
rviz=false
patient=false
launch_file=(nao_kinora_sim demo.launch)
usage() { sed -n '2,32p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --speed) speed=${2:?--speed needs a number}; shift ;;
    --console-port) console_port=${2:?--console-port needs a number}; shift ;;
    --rviz) rviz=true ;;
    --patient) patient=true ;;
    --driver) launch_file=(nao_kinora_robot demo_driver.launch) ;;
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
[ "$rviz" = false ] || [ -n "${DISPLAY:-}" ] || { echo "--rviz needs a display: DISPLAY is not set" >&2; exit 2; }
[ -z "$console_port" ] || { [[ "$console_port" =~ ^[0-9]+$ ]] && [ "$console_port" -ge 1 ] && [ "$console_port" -le 65535 ]; } ||
  { echo "--console-port needs a port number (1 to 65535), not [$console_port]" >&2; exit 2; }

if [ -n "$build" ]; then
  no_install=""
  [ -n "$install" ] || no_install=1
  KINORA_WS="$ws" KINORA_NO_INSTALL="$no_install" "$root/scripts/setup.sh"
fi

# roscpp's XML-RPC servers listen on every address, whatever ROS_HOSTNAME says.
# In a network namespace of its own, where only the loopback device exists,
# the session opens nothing to the network; installing and building, which
# may need the network, are done by then.
# The console's page must be reachable from this machine's browser: its port
# is chosen here, and a bridge (socat) listens on it and hands each
# connection to a socket file, where a second bridge in the namespace takes
# it on to the console.
port_is_free() {
  /usr/bin/python3 -c 'import socket, sys; socket.socket().bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}
if [ -z "${KINORA_DEMO_PRIVATE_NET:-}" ]; then
  if [ -z "$console_port" ]; then
    console_port=8080
    port_is_free "$console_port" || console_port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  fi
  port_is_free "$console_port" || { echo "demo: port $console_port is taken: choose another with --console-port" >&2; exit 1; }
  netns=(--net)
  [ "$(id -u)" -eq 0 ] || netns+=(--map-root-user)
  # rviz reaches a local display (DISPLAY=:0) through its socket file from any
  # namespace, but not one over the network (ssh -X: DISPLAY=localhost:10).
  remote_display=""
  [ "$rviz" = false ] || [[ "$DISPLAY" == :* || "$DISPLAY" == unix:* ]] || remote_display=yes
  if [ -n "$remote_display" ]; then
    echo "demo: warning: rviz on the network display $DISPLAY: no private network namespace" >&2
  elif command -v ip >/dev/null && command -v socat >/dev/null && unshare "${netns[@]}" true 2>/dev/null; then
    bridge_dir=$(mktemp -d "${TMPDIR:-/tmp}/kinora_console.XXXXXX")
    socat "TCP-LISTEN:$console_port,bind=127.0.0.1,reuseaddr,fork" "UNIX-CONNECT:$bridge_dir/console.sock" 2>/dev/null &
    KINORA_DEMO_PRIVATE_NET=1 KINORA_DEMO_BRIDGE_PID=$! KINORA_DEMO_BRIDGE_DIR=$bridge_dir \
      exec unshare "${netns[@]}" -- "$0" "${args[@]}" --no-install --no-build --console-port "$console_port"
  else
    echo "demo: warning: no private network namespace (unshare, ip): the nodes' XML-RPC ports" \
      "listen on every address while the demo runs" >&2
  fi
else
  ip link set lo up
fi

set +u  # setup.bash reads variables that may be unset
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source-path=SCRIPTDIR source=ros_env.sh
source "$root/scripts/ros_env.sh"

run="$ws/demo"  # logs of the last run
rm -rf "$run"
mkdir -p "$run/log"
sounds=""
if [ -n "$sound" ] && command -v espeak-ng >/dev/null; then
  sounds="$ws/cue_sounds"
  "$root/nao_kinora_sim/scripts/make_cue_sounds.sh" "$sounds"
fi

# roslaunch starts a master of its own on a free loopback port; nothing
# listens beyond this machine.
ros_private_env "$run"
session_log="$run/session.jsonl"

# roslaunch's own lines (and everything else) go to launch.log; the screen
# shows the peers' lines, warnings and errors, and the node's lines tagged
# [node], without its "burdayım" per row, which would drown the rest. What is
# left once roslaunch's lines are taken out is the node's: none of its lines
# starts with a blank, as the lines of a Python traceback do. The model has
# no hands and wrists, which the simulated driver reports as the robot does:
# robot_state_publisher's warnings of them are left out. The view ignores
# Ctrl-C, so that nothing loses its output while it is being stopped.
launch_view() {
  trap '' INT
  tee "$run/launch.log" | sed -u -n -E \
    -e '/^\[(audio|clock|motion|tracking|report|patient|robot|driver)\] /{p;d}' \
    -e '/Joint state with name: "[LR](Hand|WristYaw)" was received but not found in URDF/d' \
    -e '/^(\x1b\[[0-9;]*m)?\[ INFO\] \[[0-9., ]+\]: recording [0-9]+ .*: (completed|skipped|timeout|ended)/{p;d}' \
    -e '/^burdayım$/d' \
    -e '/^(\x1b\[[0-9;]*m)?(\[ *(WARN|ERROR|FATAL)\]|RLException|ERROR|WARNING)/{p;d}' \
    -e '/^\x1b\[|^\.\.\. logging to |^auto-starting new master$|^started core service /d' \
    -e '/^\[[A-Za-z0-9_]+(-[0-9]+)?\] |^(\.\.\. )?shutting down processing monitor/d' \
    -e '/^process has died \[|^log file: |^Initiating shutdown!$|^=+(\x1b\[0m)?$|^$/d' \
    -e '/^Traceback \(most recent call last\):$|^[[:space:]]|^KeyboardInterrupt$/d' \
    -e '/^The traceback for the exception was written to the log file$/d' \
    -e 's/^/[node] /p'
}

# roslaunch runs the master, the peers and the node, and stops them all when
# the node, which is required, ends. It leads a process group of its own (job
# control), so a Ctrl-C reaches only this script, which hands it on.
set -m
launch=""
console=""
bridge=""
stop_launch() {
  trap - INT TERM EXIT
  [ -z "$launch" ] || kill -INT "$launch" 2>/dev/null || true
  [ -z "$console" ] || kill -INT "$console" 2>/dev/null || true
  # The bridges are background jobs of a script, which ignore SIGINT.
  for pid in $bridge ${KINORA_DEMO_BRIDGE_PID:-}; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "${KINORA_DEMO_BRIDGE_DIR:-}" ] || rm -rf "$KINORA_DEMO_BRIDGE_DIR"
}
trap 'stop_launch; echo "demo: interrupted" >&2; exit 130' INT TERM
trap stop_launch EXIT

console_port=${console_port:-8080}
echo "demo: session console on http://127.0.0.1:$console_port/ (open it in a browser)"
echo "demo: master on $ROS_MASTER_URI, speed ${speed}x, logs in $run"
if [ -n "${KINORA_DEMO_BRIDGE_DIR:-}" ]; then
  socat "UNIX-LISTEN:$KINORA_DEMO_BRIDGE_DIR/console.sock,fork,unlink-early" "TCP:127.0.0.1:$console_port" \
    2>/dev/null &
  bridge=$!
fi
roslaunch --skip-log-check --no-summary --disable-title --sigint-timeout "$stop_wait" \
  "${launch_file[@]}" speed:="$speed" sound_dir:="$sounds" session_log:="$session_log" rviz:="$rviz" \
  patient:="$patient" \
  > >(launch_view) 2>&1 &
launch=$!
# The console, once roslaunch's master answers; its lines go to console.log.
# The cue sounds too, which its running page can play on a tablet.
(ros_wait_for_master 30 && exec rosrun nao_kinora_console nao_kinora_console _port:="$console_port" \
  _cue_dir:="$sounds" __name:=nao_kinora_console > "$run/console.log" 2>&1) &
console=$!
launch_status=0
wait "$launch" || launch_status=$?
launch=""  # ended: nothing to hand a signal on to
stop_launch

# roslaunch does not pass the node's exit status on: the session log tells
# whether the session got as far as the closing cue.
if ! /usr/bin/python3 -c 'import json, sys
events = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
sys.exit(not any(e.get("event") == "cue" and e.get("kind") == "closing" for e in events))' \
  "$session_log" 2>/dev/null; then
  echo "demo: the session did not end with the closing cue (logs in $run)" >&2
  grep -a 'has died' "$run/launch.log" | sed 's/\x1b\[[0-9;]*m//g; s/^=*//' >&2 || true
  [ "$launch_status" -eq 0 ] || {
    echo "demo: roslaunch ended with status $launch_status:" >&2
    tail -n 5 "$run/launch.log" >&2
  }
  exit 1
fi
echo "demo: session complete"
