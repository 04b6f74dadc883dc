#!/usr/bin/env bash
# Peers killed (SIGKILL) and started again mid-session, at 10x simulated speed:
# the audio player during the wait after recording 1, the motion executor
# while recording 2 plays, the tracking node during the wait after recording 2
# (the node goes on after its tracking timeout). The session must go on to the
# closing cue and exit 255 within a bounded wall time; the restarted executor
# must get every later row in order, missing only the rows sent while it was
# away; every cue must reach an audio player, in order.
set -uo pipefail

here=$(cd -P "$(dirname "$0")" && pwd)
ws=${KINORA_WS:?KINORA_WS names the built workspace}
speed=10
rows=(120 800 100 100)           # recording 2 is long enough to restart the executor in
# The restarts must fall inside the waits for tracking: 3 s of wall time
# each, ample for a kill and a start even on a busy machine.
tracking_wait=30                 # ROS seconds
tracking_timeout=40              # ROS seconds, beyond the tracker's answer
deadline=60                      # wall seconds for the whole session

run=$(mktemp -d /tmp/kinora_restart_XXXXXX)
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=session_helpers.sh
source "$here/session_helpers.sh"
# shellcheck source=../../scripts/ros_env.sh
source "$here/../../scripts/ros_env.sh"

finish() {
  session_cleanup
  rm -rf "$run"
}
trap finish EXIT
trap 'exit 130' INT TERM


write_recordings "$run/rec" "${rows[@]}"
ros_private_env "$run"
start "$run/master.out" rosmaster --core -p "$ros_port"
ros_wait_for_master || fail "no master"
set_sim_time || fail "cannot set /use_sim_time"

executor_args=(_progress_every:=1 _recording_dir:="$run/rec" _recordings:="rec1.txt rec2.txt rec3.txt rec4.txt")
start "$run/clock.out" "$peers_bin/sim_clock" _speed:=$speed
start "$run/audio1.out" "$peers_bin/audio_player" _player:=none
audio=$last_pid
start "$run/motion1.out" "$peers_bin/motion_executor" "${executor_args[@]}"
executor=$last_pid
start "$run/tracking1.out" "$peers_bin/tracking_node" _wait:=$tracking_wait
tracker=$last_pid

began=$SECONDS
start "$run/node.out" "$node_bin" 4 rec1.txt rec2.txt rec3.txt rec4.txt _recording_dir:="$run/rec/" \
  _session_log:="$run/session.jsonl" _tracking_timeout:=$tracking_timeout
node=$last_pid

# Kills a peer and starts it again with the same name and parameters.
restart() {
  local pid=$1 out=$2
  shift 2
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  start "$out" "$@"
}

# The audio player, during the wait after recording 1.
wait_line "$run/tracking1.out" '^\[tracking\] motion 1 over' 20 || fail "recording 1 did not end"
grep -q '^\[tracking\] motion 1: trackingfinished' "$run/tracking1.out" && fail "too late: the wait after recording 1 is over"
restart "$audio" "$run/audio2.out" "$peers_bin/audio_player" _player:=none

# The motion executor, while recording 2 plays (at least 100 rows in).
wait_line "$run/motion1.out" '^\[motion\] recording 2: [0-9]{3} rows' 20 || fail "recording 2 did not play"
killed_at=$(date +%s.%N)
restart "$executor" "$run/motion2.out" "$peers_bin/motion_executor" "${executor_args[@]}"
# Read once it is dead, so that the rows it got before the kill count however
# long this script took to get there.
seen=$(sed -n -E 's/^\[motion\] recording 2: ([0-9]+) rows.*/\1/p' "$run/motion1.out" | tail -n 1)
wait_line "$run/motion2.out" '^\[motion\] recording 2: missed rows' 10 || fail "the restarted executor reports no gap"
back_at=$(date +%s.%N)

# The tracking node, during the wait after recording 2: the node goes on after
# its tracking timeout, and the restarted tracker serves the next wait.
wait_line "$run/tracking1.out" '^\[tracking\] motion 2 over' 20 || fail "recording 2 did not end"
grep -q '^\[tracking\] motion 2: trackingfinished' "$run/tracking1.out" && fail "too late: the wait after recording 2 is over"
restart "$tracker" "$run/tracking2.out" "$peers_bin/tracking_node" _wait:=$tracking_wait

wait_exit "$node" $((deadline - (SECONDS - began))) || fail "the node still runs after $deadline s: blocked"
echo "session: node exit status $exit_status after $((SECONDS - began)) s"
[ "$exit_status" -eq 255 ] || fail "node exit status $exit_status instead of 255"
# The peers print what they got on their own time, not before the node ends:
# their last lines are waited for.
wait_line "$run/audio2.out" ' cue bitis\.wav ' 10 || fail "the closing cue did not reach the audio player"
wait_line "$run/motion2.out" '^\[motion\] recording 4: over' 10 || fail "recording 4 did not end at the executor"
wait_line "$run/tracking2.out" '^\[tracking\] motion 1: trackingfinished' 10 || fail "restarted tracker sent nothing"

# The node: every row sent, the closing cue last, one tracking timeout, after recording 2.
log="$run/session.jsonl"
[ "$(log_query "$log" '[x["row"] for x in e if x["event"] == "last row sent"]')" = "119 799 99 99" ] ||
  fail "last rows sent: $(log_query "$log" '[x["row"] for x in e if x["event"] == "last row sent"]')"
[ "$(log_query "$log" '[x["kind"] + " " + x["file"] for x in e if x["event"] == "cue"][-1]')" = "closing bitis.wav" ] ||
  fail "the last cue in the session log is not the closing cue"
[ "$(log_query "$log" '[x["recording"] for x in e if x["event"] == "tracking timeout"]')" = "2" ] ||
  fail "tracking timeouts after recordings: $(log_query "$log" '[x["recording"] for x in e if x["event"] == "tracking timeout"]')"

# Every cue reached an audio player, in the order sent: the first player up to
# its kill, the second from its start.
logged=$(log_query "$log" '[x["file"] for x in e if x["event"] == "cue"]')
expected="merhaba.wav aciklama.wav ellerbeldesol.wav 1feed.wav ellerbeldesag.wav 1feed.wav 2feed.wav"
expected+=" kollaryana.wav oturabilirsiniz.wav dirsekler.wav bitis.wav"
[ "$logged" = "$expected" ] || fail "cues sent: $logged"
first=$(audio_cues "$run/audio1.out" | tr '\n' ' ')
second=$(audio_cues "$run/audio2.out" | tr '\n' ' ')
[ "$first" = "merhaba.wav aciklama.wav ellerbeldesol.wav 1feed.wav " ] || fail "first audio player got: $first"
[ "$first$second" = "$expected " ] || fail "restarted audio player got: $second"

# The first executor got recording 1 whole and recording 2 from row 0 on, in order.
m1="$run/motion1.out" m2="$run/motion2.out"
grep -q '^\[motion\] recording 1: over: 120 rows' "$m1" || fail "first executor: recording 1 not whole"
! grep -qE 'missed|out of order|repeated|not received' "$m1" || fail "first executor: $(grep -E 'missed|out of order|repeated|not received' "$m1")"

# The second one found recording 2 by its rows, missed rows 0..K-1 only, and
# got every row after, then recordings 3 and 4 whole.
grep -q '^\[motion\] recording 2: identified by its rows (rec2.txt)$' "$m2" || fail "recording 2 not identified"
[ "$(grep -c 'missed rows' "$m2")" -eq 1 ] || fail "gaps: $(grep 'missed rows' "$m2")"
gap=$(sed -n -E 's/^\[motion\] recording 2: missed rows 0\.\.([0-9]+) \(([0-9]+) rows\)$/\1 \2/p' "$m2")
read -r gap_last gap_rows <<< "$gap"
[ -n "$gap" ] && [ "$gap_rows" -eq $((gap_last + 1)) ] || fail "gap line: $(grep 'missed rows' "$m2")"
grep -q "^\\[motion\\] recording 2: over: $((800 - gap_rows)) rows" "$m2" ||
  fail "rows after the gap: $(grep 'recording 2: over' "$m2"), gap of $gap_rows"
for r in 3 4; do
  grep -q "^\\[motion\\] recording $r: over: 100 rows" "$m2" || fail "restarted executor: recording $r not whole"
done
! grep -qE 'out of order|repeated|not received' "$m2" || fail "restarted executor: $(grep -E 'out of order|repeated|not received' "$m2")"
! grep -q 'ERROR' "$m1.err" "$m2.err" || fail "executor errors: $(cat "$m1.err" "$m2.err")"

# The rows neither executor got were sent while the executor was away: no more
# than the node sends between the kill (the time taken just before it) and the
# new executor's first line (25 rows per simulated second, the clock at 10x
# wall speed or slower when starved), with the first executor's last progress
# line up to one line behind (25 rows) and 50 rows to spare.
window=$(awk -v a="$killed_at" -v b="$back_at" -v s=$speed 'BEGIN { printf "%d", (b - a) * s * 25 + 75 }')
echo "executor restart: first executor at row $seen or later, restarted one from row $gap_rows, bound $window rows"
[ $((gap_rows - seen)) -le "$window" ] || fail "rows $seen..$((gap_rows - 1)) missed, more than the restart window"

# The restarted tracking node served the wait after recording 3.
grep -q '^\[tracking\] motion 1: trackingfinished' "$run/tracking2.out" || fail "restarted tracker sent nothing"
[ "$(log_query "$log" 'len([x for x in e if x["event"] == "trackingfinished"])')" -eq 2 ] ||
  fail "trackingfinished events: $(log_query "$log" 'len([x for x in e if x["event"] == "trackingfinished"])')"

echo "peer restart test passed"
