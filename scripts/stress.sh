#!/usr/bin/env bash
# Runs the suite (or the tests chosen by ctest arguments) while stress-ng keeps
# the CPU busy, to bring out tests that pass only when the machine is quick.
#
#   scripts/stress.sh                                   # the whole suite, under load
#   scripts/stress.sh --repeat until-fail:50 -R Speed   # chosen tests, 50 times each
#
# KINORA_STRESS_CPU (default 4) workers, each busy KINORA_STRESS_LOAD percent
# (default 90) of the time. stress-ng is stopped when the run ends, fails, is
# interrupted (Ctrl-C) or this script is killed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/setup.sh" tests
cd "${KINORA_WS:-$root/build/ws}/build"

workers=${KINORA_STRESS_CPU:-4}
load=${KINORA_STRESS_LOAD:-90}
command -v stress-ng >/dev/null || { echo "stress-ng is missing: run scripts/setup.sh" >&2; exit 1; }

# In a session of its own, so that one signal to its group ends it and its workers.
setsid stress-ng --cpu "$workers" --cpu-load "$load" --quiet &
stress_pid=$!
stop_stress() {
  kill -TERM -- "-$stress_pid" 2>/dev/null || true
  wait "$stress_pid" 2>/dev/null || true
}
trap stop_stress EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Should this script be killed outright (SIGKILL), the watcher still ends the load.
me=$$
(
  trap '' INT
  while kill -0 "$me" 2>/dev/null; do sleep 1; done
  kill -TERM -- "-$stress_pid" 2>/dev/null || true
) >/dev/null 2>&1 &

echo "stress-ng: $workers workers at $load% on $(nproc) cores (process group $stress_pid)"
start=$(date +%s)
status=0
ctest --output-on-failure --timeout 300 "$@" || status=$?
echo "under stress: ctest exited $status after $(($(date +%s) - start)) s"
exit "$status"
