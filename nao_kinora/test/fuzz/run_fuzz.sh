#!/usr/bin/env bash
# Long fuzz runs. Builds the fuzz targets through the workspace's CMake build
# (target kinora_fuzz, also built by `catkin_make tests`), then runs each named
# target in turn for SECONDS:
#   run_fuzz.sh [SECONDS] [TARGET...] [-- more libFuzzer options]
# SECONDS defaults to 70; TARGET is recording or command_line (default: both).
# The workspace must have been configured by scripts/setup.sh (KINORA_WS: another
# workspace). KINORA_FUZZ_DIR (default /tmp/kinora_fuzz) keeps each target's
# grown corpus and crash files between runs; the committed seeds are read, never
# written. Exits non-zero on any finding, 2 when the targets were not built
# (no clang++ with libFuzzer).
set -euo pipefail

seconds=${1:-70}
shift || true
targets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  targets+=("$1")
  shift
done
[ "${1:-}" = "--" ] && shift
[ ${#targets[@]} -gt 0 ] || targets=(recording command_line)

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
ws=${KINORA_WS:-$root/build/ws}
out=${KINORA_FUZZ_DIR:-/tmp/kinora_fuzz}

if [ ! -f "$ws/build/CMakeCache.txt" ]; then
  echo "run_fuzz.sh: no configured workspace in $ws; run scripts/setup.sh first" >&2
  exit 2
fi
if ! cmake --build "$ws/build" --target kinora_fuzz -- -j2; then
  echo "run_fuzz.sh: the fuzz targets do not build (see above; without clang++ there is no kinora_fuzz target)" >&2
  exit 2
fi

status=0
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus_$target" "$out/artifacts_$target"
  echo "== fuzz_$target for $seconds s, corpus $out/corpus_$target"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$ws/devel/lib/nao_kinora/fuzz_$target" "$out/corpus_$target" "$here/corpus/$target" -dict="$here/$target.dict" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts_$target/" "$@" || status=1
done
exit $status
