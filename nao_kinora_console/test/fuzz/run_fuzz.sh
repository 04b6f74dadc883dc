#!/usr/bin/env bash
# Long runs of the request router's fuzz target. Builds it through the
# workspace's CMake build (target kinora_console_fuzz, also built by
# `catkin_make tests`), then runs it for SECONDS beside a ROS master of its own:
#   run_fuzz.sh [SECONDS] [-- more libFuzzer options]
# SECONDS defaults to 600. The workspace must have been configured by
# scripts/setup.sh (KINORA_WS: another workspace). KINORA_FUZZ_DIR (default
# /tmp/kinora_fuzz) keeps the grown corpus and any failing input between runs;
# the committed seeds are read, never written. Exits non-zero on any finding,
# 2 when the target was not built (no clang++ with libFuzzer).
set -euo pipefail

seconds=${1:-600}
shift || true
[ "${1:-}" = "--" ] && shift

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
ws=${KINORA_WS:-$root/build/ws}
out=${KINORA_FUZZ_DIR:-/tmp/kinora_fuzz}

if [ ! -f "$ws/build/CMakeCache.txt" ]; then
  echo "run_fuzz.sh: no configured workspace in $ws; run scripts/setup.sh first" >&2
  exit 2
fi
if ! cmake --build "$ws/build" --target kinora_console_fuzz -- -j2; then
  echo "run_fuzz.sh: the fuzz target does not build (see above; without clang++ there is no kinora_console_fuzz target)" >&2
  exit 2
fi

mkdir -p "$out/corpus_router" "$out/artifacts_router"
echo "== fuzz_console_router for $seconds s, corpus $out/corpus_router"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  "$here/with_master.sh" "$ws/devel/lib/nao_kinora_console/fuzz_console_router" "$out/corpus_router" \
  "$here/corpus/router" -dict="$here/router.dict" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$out/artifacts_router/" "$@"
