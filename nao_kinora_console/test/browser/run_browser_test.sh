#!/usr/bin/env bash
# The console in a real browser during a simulated session: Debian's chromium,
# headless, driven by puppeteer-core (console_browser_test.js), against the
# console, the node and the simulated peers on a private master.
#
#   run_browser_test.sh [TEST]     (KINORA_WS: the built workspace, default build/ws)
#
# TEST names the script without .js: console_browser_test (the default),
# teach_browser_test ("Add an exercise"), clinic_browser_test (the clinic) or
# tls_browser_test (the console over HTTPS), view3d_browser_test (the robot
# in 3D), camera_browser_test (the tablet's camera and the ranges of motion) or
# robot_browser_test (beside a robot driven through its own driver: the cues on
# the tablet, the view of the robot's joints).
#
# Runs in a network namespace of its own, where unshare allows it, as the demo
# does: the loopback device, and a veth pair whose address 10.234.0.1
# (KINORA_CONSOLE_OFF_LOOPBACK) is one other machines could reach, for a
# console served over HTTPS. Logs and the screenshot go to
# $KINORA_WS/console_browser_test/; KINORA_CONSOLE_SCREENSHOT names another
# copy of the screenshot (docs/console.png when refreshing the README's).
set -euo pipefail

here=$(cd -P "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"
test="${1:-console_browser_test}"

if [ -z "${KINORA_CONSOLE_TEST_NET:-}" ]; then
  netns=(--net)
  [ "$(id -u)" -eq 0 ] || netns+=(--map-root-user)
  if command -v ip >/dev/null && unshare "${netns[@]}" true 2>/dev/null; then
    KINORA_CONSOLE_TEST_NET=1 exec unshare "${netns[@]}" -- "$0" "$@"
  fi
  echo "browser test: no private network namespace: the ROS nodes listen on every address meanwhile" >&2
else
  ip link set lo up
  # No IPv6 on the pair: its link-local addresses would finish their duplicate
  # check a second or two after the link comes up, and chromium, seeing the
  # network change, would fail a page it was loading (ERR_NETWORK_CHANGED).
  echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6 2>/dev/null || true
  ip link add kinora0 type veth peer name kinora1 && ip addr add 10.234.0.1/24 dev kinora0 &&
    ip addr add 10.234.0.2/24 dev kinora1 && ip link set kinora0 up && ip link set kinora1 up &&
    export KINORA_CONSOLE_OFF_LOOPBACK=10.234.0.1
fi

[ -d "$here/node_modules/puppeteer-core" ] ||
  { echo "FAIL: puppeteer-core is not installed in $here/node_modules (scripts/setup.sh installs it)"; exit 1; }

set +u  # setup.bash reads variables that may be unset
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=../../../scripts/ros_env.sh
source "$root/scripts/ros_env.sh"

run="$ws/$test"
rm -rf "$run"
mkdir -p "$run/log"
ros_private_env "$run"

master=""
stop_master() {
  # SIGTERM: a background job of a script ignores SIGINT.
  [ -z "$master" ] || { kill -TERM "$master" 2>/dev/null; wait "$master" 2>/dev/null || true; }
}
trap stop_master EXIT
rosmaster --core -p "$ros_port" > "$run/master.log" 2>&1 &
master=$!
ros_wait_for_master 15

export KINORA_CONSOLE_RUN="$run"
export KINORA_CONSOLE_PROGRAM="$ws/devel/lib/nao_kinora_console/nao_kinora_console"
export KINORA_SIM_EXERCISES="$root/nao_kinora_sim/exercises"
node "$here/$test.js"
