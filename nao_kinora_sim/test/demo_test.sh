#!/usr/bin/env bash
# scripts/demo.sh end to end at 20x speed on the built workspace (KINORA_WS):
# it ends with status 0 after the simulated audio player has been given the
# closing cue, every exercise reported, the node's session log closed, and
# nothing of it (roslaunch, master, peers, node, console) left running. The
# session console's address is the first line, and the console answers there
# from this machine while the session runs.
set -uo pipefail

root="$(cd -P "$(dirname "$0")/.." && cd .. && pwd)"  # the repository, not the workspace link
out=$(mktemp)
trap 'rm -f "$out"' EXIT

fail() {
  echo "FAIL: $*"
  echo "--- demo output ---"
  cat "$out"
  exit 1
}

start=$SECONDS
# The console is asked with a deadline that only ends a wait (it answered
# later than 2 s with some thirty runnable threads on the two cores).
# In the background, while the console is asked; with job control, so that
# the demo takes SIGINT as it does from a terminal.
set -m
"$root/scripts/demo.sh" --speed 20 --no-install --no-build --no-sound > "$out" 2>&1 &
demo=$!
console_answer=""
while [ -z "$console_answer" ] && kill -0 "$demo" 2>/dev/null; do
  url=$(sed -n -E '1s|^demo: session console on (http://127\.0\.0\.1:[0-9]+/) .*|\1|p' "$out")
  [ -z "$url" ] || console_answer=$(/usr/bin/python3 -c 'import sys, urllib.request
print(urllib.request.urlopen(sys.argv[1] + "api/status", timeout=30).read().decode())' "$url" 2>/dev/null |
    grep -o '"phase_words":"Exercise [0-9] of 9[^"]*"')
  sleep 0.2
done
wait "$demo"
status=$?
echo "demo: exit status $status after $((SECONDS - start)) s"

[ "$status" -eq 0 ] || fail "exit status $status"
cues=$(grep -E '^\[audio\] .* cue ' "$out" | sed -E 's/.* cue ([^ ]+) .*/\1/')
[ "$(echo "$cues" | tail -n 1)" = "bitis.wav" ] || fail "the last cue the audio player got is not bitis.wav"
[ "$(echo "$cues" | head -n 2 | tr '\n' ' ')" = "merhaba.wav aciklama.wav " ] || fail "no greeting first"
[ "$(echo "$cues" | wc -l)" -eq 29 ] || fail "$(echo "$cues" | wc -l) cues instead of 29"
[ "$(grep -c '^\[report\] recording [1-9]: ' "$out")" -eq 9 ] || fail "not 9 reports"
grep -q '^\[report\] recording 5: 6 joint(s) moved: 2 leftshoulderpitch, 6 rightshoulderpitch,' "$out" ||
  fail "recording 5 does not report its moving joints"
rows=$(sed -n -E 's/^\[motion\] recording [1-9]: over: ([0-9]+) rows.*/\1/p' "$out" | tr '\n' ' ')
[ "$rows" = "900 900 960 780 250 600 600 600 600 " ] || fail "rows received per recording: $rows"
! grep -q 'malformed' "$out" || fail "malformed joint messages"
grep -q '^\[motion\] identifying rows of 9 recording(s) from ' "$out" || fail "the executor does not place the rows"
! grep -qE '^\[motion\] .*(missed rows|out of order|repeated|not received)' "$out" ||
  fail "rows missed or out of order: $(grep -E '^\[motion\] .*(missed rows|out of order|repeated|not received)' "$out")"
[ "$(grep -c '^\[node\] burdayım' "$out")" -eq 0 ] || fail "the node's row lines are shown"
grep -q '^demo: session complete$' "$out" || fail "no completion line"
[ -n "$console_answer" ] || fail "the console did not show an exercise at the address of the first line"
echo "console: $console_answer"

# The node's session log, which tells the demo that the session closed.
run="${KINORA_WS:-$root/build/ws}/demo"
logged=$(/usr/bin/python3 -c 'import json, sys
cues = [e for e in map(json.loads, open(sys.argv[1])) if e["event"] == "cue"]
print(len(cues), cues[-1]["kind"], cues[-1]["file"])' "$run/session.jsonl") ||
  fail "no session log"
[ "$logged" = "29 closing bitis.wav" ] || fail "session log: cues, last kind and file: $logged"

port=$(sed -n -E 's|^demo: master on http://localhost:([0-9]+),.*|\1|p' "$out")
[ -n "$port" ] || fail "no master port in the output"
! pgrep -f "rosmaster --core -p $port" > /dev/null || fail "the demo's master still runs"
! pgrep -f "$run/log" > /dev/null || fail "peers or the node of the demo still run"
! pgrep -f "roslaunch .*session_log:=$run/session.jsonl" > /dev/null || fail "the demo's roslaunch still runs"
console_port=$(sed -n -E '1s|^demo: session console on http://127\.0\.0\.1:([0-9]+)/ .*|\1|p' "$out")
# Every ROS process of this demo (console, node, peers, roslaunch) has its
# master's address in its environment; the console's port alone could be
# another demo's, run meanwhile by another checkout on this machine.
left=$(grep -lxzs "ROS_MASTER_URI=http://localhost:$port" /proc/[0-9]*/environ | sed 's|/environ$|/cmdline|' |
  xargs -r -n1 sh -c 'tr "\0" " " < "$0"; echo' 2>/dev/null)
[ -z "$left" ] || fail "processes of the demo still run: $left"
! pgrep -f "socat TCP-LISTEN:$console_port," > /dev/null || fail "the demo's bridge to the console still runs"
echo "demo test passed"
