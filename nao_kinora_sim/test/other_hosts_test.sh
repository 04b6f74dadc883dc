#!/usr/bin/env bash
# The node on one host, the master and the peers on another: two network
# namespaces made by this test, joined by a veth pair with addresses of their
# own (10.231.0.1 for the peers, 10.231.0.2 for the node) and nothing else, so
# no packet can leave them. Each side names itself by ROS_IP. A whole session
# of three short recordings at 10x simulated speed: every row and every cue
# must arrive and the node must exit 255.
#
# Exit status 77 (reported by ctest as skipped) when no network namespace can
# be made here (not root, or a kernel or container that refuses them); the
# reason is printed.
set -uo pipefail

here=$(cd -P "$(dirname "$0")" && pwd)
ws=${KINORA_WS:?KINORA_WS names the built workspace}
skip_status=77
speed=10
rows=(120 100 100)
deadline=30                       # wall seconds for the session
peers_ip=10.231.0.1 node_ip=10.231.0.2 port=11311
ns_peers=kinora_peers_$$ ns_node=kinora_node_$$

run=$(mktemp -d /tmp/kinora_hosts_XXXXXX)
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=session_helpers.sh
source "$here/session_helpers.sh"

made_ns=()
finish() {
  session_cleanup
  local ns
  for ns in "${made_ns[@]}"; do
    ip netns del "$ns" 2>/dev/null || echo "cannot remove network namespace $ns" >&2
  done
  rm -rf "$run"
}
trap finish EXIT
trap 'exit 130' INT TERM


if ! refusal=$(ip netns add "$ns_peers" 2>&1); then
  echo "SKIP: no network namespace can be made here (ip netns add: ${refusal:-no reason given});" \
    "the session across two hosts did not run"
  exit $skip_status
fi
made_ns+=("$ns_peers")
ip netns add "$ns_node" || fail "cannot make a second network namespace"
made_ns+=("$ns_node")
# Both ends are made inside the namespaces: nothing appears on this machine's own network.
ip -n "$ns_peers" link add kinora0 type veth peer name kinora1 netns "$ns_node" || fail "cannot make the veth pair"
ip -n "$ns_peers" addr add $peers_ip/24 dev kinora0 &&
  ip -n "$ns_node" addr add $node_ip/24 dev kinora1 &&
  ip -n "$ns_peers" link set lo up && ip -n "$ns_peers" link set kinora0 up &&
  ip -n "$ns_node" link set lo up && ip -n "$ns_node" link set kinora1 up ||
  fail "cannot set the veth pair up"

write_recordings "$run/rec" "${rows[@]}"
master="http://$peers_ip:$port"
# Each side: the master's address, its own address, and nothing that names localhost.
on_peers=(ip netns exec "$ns_peers" env -u ROS_HOSTNAME ROS_MASTER_URI="$master" ROS_IP=$peers_ip
  ROS_HOME="$run" ROS_LOG_DIR="$run/log")
on_node=(ip netns exec "$ns_node" env -u ROS_HOSTNAME ROS_MASTER_URI="$master" ROS_IP=$node_ip
  ROS_HOME="$run" ROS_LOG_DIR="$run/log")

start "$run/master.out" "${on_peers[@]}" rosmaster --core -p $port
master_up() {
  "${on_node[@]}" /usr/bin/python3 -c 'import os, xmlrpc.client
xmlrpc.client.ServerProxy(os.environ["ROS_MASTER_URI"]).getPid("/hosts_test")' 2>/dev/null
}
for _ in $(seq 100); do master_up && break; sleep 0.1; done
master_up || fail "the master at $master does not answer from the node's namespace"
"${on_peers[@]}" bash -c "$(declare -f set_sim_time); set_sim_time" || fail "cannot set /use_sim_time"

start "$run/clock.out" "${on_peers[@]}" "$peers_bin/sim_clock" _speed:=$speed
start "$run/audio.out" "${on_peers[@]}" "$peers_bin/audio_player" _player:=none
start "$run/motion.out" "${on_peers[@]}" "$peers_bin/motion_executor" _recording_dir:="$run/rec" \
  _recordings:="rec1.txt rec2.txt rec3.txt"
start "$run/tracking.out" "${on_peers[@]}" "$peers_bin/tracking_node" _wait:=2

began=$SECONDS
start "$run/node.out" "${on_node[@]}" "$node_bin" 3 rec1.txt rec2.txt rec3.txt _recording_dir:="$run/rec/" \
  _session_log:="$run/session.jsonl"
node=$last_pid

# The master knows the node by its own address, and the peers by theirs.
wait_line "$run/audio.out" ' cue merhaba\.wav ' 15 || fail "no greeting reached the audio player"
uris=$("${on_peers[@]}" /usr/bin/python3 -c 'import os, xmlrpc.client
m = xmlrpc.client.ServerProxy(os.environ["ROS_MASTER_URI"])
print(" ".join(m.lookupNode("/hosts_test", n)[2].split(":")[1] for n in ("/nao_kinora", "/audio_player")))')
[ "$uris" = "//$node_ip //$peers_ip" ] || fail "the master has the node and the audio player at: $uris"

wait_exit "$node" $((deadline - (SECONDS - began))) || fail "the node still runs after $deadline s: blocked"
echo "session across two namespaces: node exit status $exit_status after $((SECONDS - began)) s"
[ "$exit_status" -eq 255 ] || fail "node exit status $exit_status instead of 255"
# The peers print what they got on their own time, not before the node ends:
# their last lines are waited for.
wait_line "$run/audio.out" ' cue bitis\.wav ' 10 || fail "the closing cue did not reach the audio player"
wait_line "$run/motion.out" '^\[motion\] recording 3: over' 10 || fail "recording 3 did not end at the executor"

log="$run/session.jsonl"
expected="merhaba.wav aciklama.wav ellerbeldesol.wav 1feed.wav ellerbeldesag.wav 1feed.wav kollaryana.wav bitis.wav"
[ "$(log_query "$log" '[x["file"] for x in e if x["event"] == "cue"]')" = "$expected" ] ||
  fail "cues sent: $(log_query "$log" '[x["file"] for x in e if x["event"] == "cue"]')"
[ "$(audio_cues "$run/audio.out" | tr '\n' ' ')" = "$expected " ] ||
  fail "cues the audio player got: $(audio_cues "$run/audio.out" | tr '\n' ' ')"
got=$(sed -n -E 's/^\[motion\] recording ([0-9]): over: ([0-9]+) rows.*/\1:\2/p' "$run/motion.out" | tr '\n' ' ')
[ "$got" = "1:120 2:100 3:100 " ] || fail "rows per recording the executor got: $got"
! grep -qE 'missed|out of order|repeated|not received|identified' "$run/motion.out" ||
  fail "executor: $(grep -E 'missed|out of order|repeated|not received|identified' "$run/motion.out")"
[ "$(grep -c '^motion is over$' "$run/node.out")" -eq 3 ] || fail "not three reports"
echo "other hosts test passed"
