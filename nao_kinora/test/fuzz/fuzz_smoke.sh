#!/usr/bin/env bash
# One short run of a fuzz target from its committed seeds, as a test:
#   fuzz_smoke.sh BINARY SEED_DIR DICT SECONDS [more libFuzzer options]
# libFuzzer reads the seeds and writes new inputs only to the first directory it
# is given, a temporary one, so the committed corpus stays as it is.
# Fails when libFuzzer reports anything (crash, sanitizer report, abort on a
# broken invariant, an input slower than 10 s, memory over 2 GB) or does not
# finish its run. A failing input is kept under KINORA_FUZZ_ARTIFACTS (default
# /tmp/kinora_fuzz_artifacts) and its path printed.
set -euo pipefail

binary=$1 seeds=$2 dict=$3 seconds=$4
shift 4

work=$(mktemp -d /tmp/kinora_fuzz_smoke.XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts=${KINORA_FUZZ_ARTIFACTS:-/tmp/kinora_fuzz_artifacts}/$(basename "$binary")
mkdir -p "$work/corpus" "$artifacts"

status=0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$binary" "$work/corpus" "$seeds" -dict="$dict" -max_total_time="$seconds" -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" >"$work/log" 2>&1 || status=$?
cat "$work/log"

if [ "$status" -ne 0 ]; then
  echo "fuzz_smoke: $(basename "$binary") exited with $status" >&2
  grep -F 'Test unit written to' "$work/log" >&2 || true
  exit 1
fi
# libFuzzer prints "Done N runs in S second(s)" only when the run went the whole way.
if ! grep -Eq '^Done [0-9]+ runs in [0-9]+ second' "$work/log"; then
  echo "fuzz_smoke: $(basename "$binary") did not finish its run" >&2
  exit 1
fi
