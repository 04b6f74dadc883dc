# shellcheck shell=bash
# What the whole-session tests share: short recordings whose rows are all
# different, processes started in the background and stopped on every way out,
# waits with a deadline, and reading the node's session log.
#
# The caller sets run (a scratch folder) and ws (the built workspace), and
# calls session_cleanup from its EXIT trap.

peers_bin="$ws/devel/lib/nao_kinora_sim"
node_bin="$ws/devel/lib/nao_kinora/nao_kinora"
started_pids=()

# write_recordings DIR ROWS...: DIR/rec1.txt with ROWS[0] rows, and so on.
# Column 0 holds the recording and the row index, so no row appears twice in
# the session; a few joints swing so the reports name them; 25 rows per second.
write_recordings() {
  local dir=$1 rows number=0
  shift
  mkdir -p "$dir"
  for rows in "$@"; do
    number=$((number + 1))
    awk -v r="$number" -v n="$rows" 'BEGIN {
      for (k = 0; k < n; ++k) {
        line = sprintf("%.4f", r + k / 10000)
        for (j = 1; j < 22; ++j)
          line = line sprintf(" %.4f", (j % 4 == r % 4) ? 0.5 * sin(k / 10 + j) : 0.01 * j)
        print line " 0.04"
      }
    }' > "$dir/rec$number.txt"
  done
}

# start OUT COMMAND...: runs COMMAND in the background with its standard
# output in OUT and its standard error in OUT.err; sets last_pid.
start() {
  local out=$1
  shift
  "$@" > "$out" 2> "$out.err" &
  last_pid=$!
  started_pids+=("$last_pid")
}

# Kills every process started here that still runs, by its id.
session_cleanup() {
  local pid
  for pid in "${started_pids[@]}"; do
    kill -INT "$pid" 2>/dev/null || true
  done
  for pid in "${started_pids[@]}"; do
    for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  started_pids=()
}

# wait_line FILE REGEX SECONDS: true once a line of FILE matches REGEX.
wait_line() {
  local end=$((SECONDS + $3))
  until grep -qE -- "$2" "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.02
  done
}

# wait_exit PID SECONDS: sets exit_status to the process's status once it has
# ended; false when it still runs after SECONDS.
wait_exit() {
  local end=$((SECONDS + $2))
  while kill -0 "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.05
  done
  exit_status=0
  wait "$1" || exit_status=$?
}

# set_sim_time: /use_sim_time true on the master at ROS_MASTER_URI, before
# any node starts.
set_sim_time() {
  /usr/bin/python3 -c 'import os, xmlrpc.client
xmlrpc.client.ServerProxy(os.environ["ROS_MASTER_URI"]).setParam("/session_test", "/use_sim_time", True)'
}

# log_query FILE EXPR: prints EXPR evaluated in Python over the session log's
# events (a list of dicts named e), e.g. 'len([x for x in e if x["event"] == "cue"])'.
log_query() {
  /usr/bin/python3 -c 'import json, sys
e = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
r = eval(sys.argv[2])
print(" ".join(map(str, r)) if isinstance(r, list) else r)' "$1" "$2"
}

# The cue file names that an audio player printed, in the order it got them.
audio_cues() {
  sed -n -E 's/^\[audio\] .* cue ([^ ]+) .*/\1/p' "$@"
}

# Fails the test with the reason and the last lines of every program's output
# in "$run", the run folder of the test.
fail() {
  echo "FAIL: $*"
  local f
  for f in "$run"/*.out "$run"/*.err; do
    [ -s "$f" ] || continue
    echo "--- $(basename "$f") ---"
    grep -v '^burdayım$' "$f" | tail -n 40
  done
  exit 1
}
