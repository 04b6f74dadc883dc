#!/usr/bin/env bash
# Two rooms, one clinic: two network namespaces ("rooms" A and B), each with
# its own ROS master, simulated robot and console, and one PostgreSQL server
# on the bridge between them (the clinic's network, 10.240.0.0/24). The flow
# (two_rooms_flow.py) plays a patient in room A, resumes them in room B, and
# presses Start for one patient in both rooms at once.
#
#   two_rooms_test.sh        (KINORA_WS: the built workspace, default build/ws)
#
# Runs in a network and mount namespace of its own, so the rooms' names, ports
# and addresses are the test's alone. Logs go to $KINORA_WS/two_rooms_test/.
set -euo pipefail

here=$(cd -P "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ws="${KINORA_WS:-$root/build/ws}"

if [ -z "${KINORA_TWO_ROOMS_NET:-}" ]; then
  KINORA_TWO_ROOMS_NET=1 exec unshare --net --mount -- "$0" "$@"
fi

run="$ws/two_rooms_test"
rm -rf "$run"
mkdir -p "$run"

# The rooms' namespaces are named in a /run/netns of this test's own.
mount --make-rprivate /
mkdir -p /run/netns
mount -t tmpfs kinora-netns /run/netns
ip link set lo up
ip link add clinic0 type bridge
ip addr add 10.240.0.1/24 dev clinic0
ip link set clinic0 up
host=2
for room in a b; do
  ip netns add "room-$room"
  ip link add "veth-$room" type veth peer name eth0 netns "room-$room"
  ip link set "veth-$room" master clinic0 up
  ip -n "room-$room" addr add "10.240.0.$host/24" dev eth0
  ip -n "room-$room" link set eth0 up
  ip -n "room-$room" link set lo up
  host=$((host + 1))
done

# shellcheck source=pg_test_server.sh
source "$here/pg_test_server.sh"
# What is left in the rooms (a session node a console started outlives its
# console by design) ends with the test.
end_rooms() {
  local room
  for room in a b; do ip netns pids "room-$room" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true; done
  pg_test_end
}
trap end_rooms EXIT
pg_test_init 10.240.0.1

set +u  # setup.bash reads variables that may be unset
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u

export KINORA_TWO_ROOMS_RUN="$run"
export KINORA_CONSOLE_PROGRAM="$ws/devel/lib/nao_kinora_console/nao_kinora_console"
export KINORA_SIM_EXERCISES="$root/nao_kinora_sim/exercises"
export KINORA_DATABASE="$PG_TEST_URL"
/usr/bin/python3 "$here/two_rooms_flow.py"
