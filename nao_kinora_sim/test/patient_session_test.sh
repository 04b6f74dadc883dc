#!/usr/bin/env bash
# Whole sessions with the simulated patient and the person tracker on a real
# master, the node and the simulated peers, under a driven clock at a raised
# speed.
#
#   patient_session_test.sh follows   the patient follows at 0.6 of the robot's
#       range: every exercise's logged range is within 5 degrees of 0.6 x the
#       robot's, ended by "completed", and the node hears "trackingfinished"
#       only after the patient's last movement of that exercise.
#   patient_session_test.sh still     the patient stands still: the therapist's
#       skip after exercise 1 ends its result as "skipped"; after exercise 2 the
#       node waits its whole tracking timeout and the result says "timeout";
#       no "trackingfinished" ever comes.
set -uo pipefail

mode=${1:?follows or still}
here=$(cd -P "$(dirname "$0")" && pwd)
ws=${KINORA_WS:?KINORA_WS names the built workspace}
exercises=$(cd "$here/../exercises" && pwd)
deadline=150  # wall seconds for the whole session

run=$(mktemp -d /tmp/kinora_patient_XXXXXX)
set +u
# shellcheck disable=SC1091
source "$ws/devel/setup.bash"
set -u
# shellcheck source=session_helpers.sh
source "$here/session_helpers.sh"
# shellcheck source=../../scripts/ros_env.sh
source "$here/../../scripts/ros_env.sh"
tracker_bin="$ws/devel/lib/nao_kinora_tracker/nao_kinora_tracker"

finish() {
  session_cleanup
  [ -n "${KINORA_KEEP_RUN:-}" ] || rm -rf "$run"
}
trap finish EXIT
trap 'exit 130' INT TERM

ros_private_env "$run"
start "$run/master.out" rosmaster --core -p "$ros_port"
ros_wait_for_master || fail "no master"
set_sim_time || fail "cannot set /use_sim_time"

if [ "$mode" = follows ]; then
  speed=8
  files=(03_arms_to_the_side.txt 06_right_knee.txt 04_seated_elbows.txt)
  dir="$exercises/"
  # Late enough to be still moving when the robot's motion is over.
  patient_args=(_amplitude:=0.6 _delay:=3.0 _noise:=1.0)
  timeout=120  # ROS seconds: only a safety net here
else
  speed=5
  write_recordings "$run/rec" 100 100 100
  files=(rec1.txt rec2.txt rec3.txt)
  dir="$run/rec/"
  patient_args=(_still:=true)
  timeout=30
fi

start "$run/clock.out" "$peers_bin/sim_clock" _speed:=$speed
start "$run/audio.out" "$peers_bin/audio_player" _player:=none
start "$run/motion.out" "$peers_bin/motion_executor"
start "$run/patient.out" "$peers_bin/sim_patient" "${patient_args[@]}"
start "$run/tracker.out" "$tracker_bin"
# Every trackingfinished on the wire, whether or not the node takes it.
start "$run/finished.out" /usr/bin/python3 -u -c 'import rospy, std_msgs.msg
rospy.init_node("finished_listener", anonymous=True)
rospy.Subscriber("/trackingfinished", std_msgs.msg.Int32, lambda m: print("trackingfinished", m.data, flush=True))
print("listening", flush=True)
rospy.spin()'
wait_line "$run/finished.out" '^listening$' 30 || fail "the trackingfinished listener did not start"
start "$run/node.out" "$node_bin" 3 "${files[@]}" _recording_dir:="$dir" _session_log:="$run/session.jsonl" \
  _tracking_timeout:=$timeout
node=$last_pid
log="$run/session.jsonl"

# results EXPR: EXPR over the "tracking result" events (a list r), printed.
results() {
  log_query "$log" "(lambda r: $1)([x for x in e if x['event'] == 'tracking result'])"
}

if [ "$mode" = still ]; then
  # The therapist skips the wait after exercise 1, once the node is in it.
  wait_line "$log" '"event": ?"stop signal", ?"recording": ?1' 60 || fail "exercise 1 did not end"
  /usr/bin/python3 - <<'PY' || fail "the skip was refused"
import rospy, std_srvs.srv, nao_kinora_msgs.msg
rospy.init_node("therapist", anonymous=True)
def waiting(s):
    return s.phase == s.PHASE_WAITING_FOR_TRACKING and s.recording == 1
s = rospy.wait_for_message("/nao_kinora/status", nao_kinora_msgs.msg.SessionStatus, timeout=30)
while not waiting(s):
    s = rospy.wait_for_message("/nao_kinora/status", nao_kinora_msgs.msg.SessionStatus, timeout=30)
rospy.wait_for_service("/nao_kinora/skip_exercise", timeout=30)
assert rospy.ServiceProxy("/nao_kinora/skip_exercise", std_srvs.srv.Trigger)().success
PY
fi

wait_exit "$node" "$deadline" || fail "the session did not end within $deadline s"
[ "$exit_status" -eq 255 ] || fail "the node exited with $exit_status, not 255 after the closing cue"

if [ "$mode" = follows ]; then
  [ "$(results 'len(r)')" = 3 ] || fail "not 3 tracking results: $(results 'r')"
  [ "$(results '[x["recording"] for x in r]')" = "1 2 3" ] || fail "results out of order: $(results 'r')"
  [ "$(results '[x["ended by"] for x in r]')" = "completed completed completed" ] ||
    fail "not all completed: $(results 'r')"
  [ "$(results '[x["file"] for x in r]')" = "${files[*]}" ] || fail "files: $(results 'r')"
  [ "$(results 'all(x["seen"] and x["follow"] is not None and 0 <= x["follow"] <= 100 for x in r)')" = True ] ||
    fail "not seen or no score: $(results 'r')"
  [ "$(results 'all(len(x["joints"]) > 0 for x in r)')" = True ] || fail "an exercise without moving joints: $(results 'r')"
  far=$(results '[(x["recording"], j["joint"], j["person"], j["robot"]) for x in r for j in x["joints"]
                  if not j["seen"] or abs(j["person"] - 0.6 * j["robot"]) > 5]')
  [ -z "$far" ] || fail "ranges not within 5 degrees of 0.6 x the robot's: $far"
  # trackingfinished after each exercise but the last, never before the
  # patient's last movement of it.
  for k in 1 2; do
    last_move=$(sed -n -E "s/^\[patient\] recording $k: last move at ([0-9.]+)$/\1/p" "$run/patient.out")
    [ -n "$last_move" ] || fail "the patient did not say when it last moved in exercise $k"
    heard=$(log_query "$log" "(lambda stop: [x['time'] for x in e[stop:] if x['event'] == 'trackingfinished'][:1])(
      [i for i, x in enumerate(e) if x['event'] == 'stop signal' and x['recording'] == $k][0])")
    [ -n "$heard" ] || fail "no trackingfinished after exercise $k"
    /usr/bin/python3 -c "import sys; sys.exit(not float('$heard') > float('$last_move'))" ||
      fail "trackingfinished at $heard, before the patient's last movement at $last_move in exercise $k"
  done
  # None after the last exercise: the node closes without waiting, and one
  # could be taken for a later exercise.
  [ "$(sed -n 's/^trackingfinished //p' "$run/finished.out" | tr '\n' ' ')" = "1 2 " ] ||
    fail "trackingfinished on the wire: $(cat "$run/finished.out")"
  [ "$(log_query "$log" 'len([x for x in e if x["event"] == "tracking timeout"])')" = 0 ] ||
    fail "a tracking timeout"
  results '[(x["recording"], x["follow"], x["seconds"], [(j["joint"], j["person"], j["robot"]) for j in x["joints"]]) for x in r]'
else
  [ "$(results '[(x["recording"], x["ended by"]) for x in r][:2]')" = "(1, 'skipped') (2, 'timeout')" ] ||
    fail "not skipped, then timeout: $(results 'r')"
  [ "$(log_query "$log" '[x["recording"] for x in e if x["event"] == "tracking timeout"]')" = 2 ] ||
    fail "the node did not time out after exercise 2 alone"
  grep -q '^trackingfinished' "$run/finished.out" && fail "trackingfinished on the wire: $(cat "$run/finished.out")"
  [ "$(log_query "$log" 'len([x for x in e if x["event"] == "trackingfinished"])')" = 0 ] ||
    fail "a trackingfinished from a patient who never moved"
  grep -q '^Trackingfinished' "$run/node.out" && fail "the node printed a Trackingfinished line"
  waited=$(log_query "$log" "([x['time'] for x in e if x['event'] == 'tracking timeout'][0] -
    [x['time'] for x in e if x['event'] == 'stop signal' and x['recording'] == 2][0])")
  /usr/bin/python3 -c "import sys; sys.exit(not float('$waited') >= $timeout)" ||
    fail "the node went on after $waited s, before its tracking timeout of $timeout s"
fi
echo "patient session ($mode): passed"
