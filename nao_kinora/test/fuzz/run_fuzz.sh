#!/usr/bin/env bash
# Builds the recording fuzz target with clang++ (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, bounds-checked standard containers) and runs it.
#   run_fuzz.sh [seconds] [more libFuzzer options]    (default: 70 s)
# Needs a clang++ that supports -fsanitize=fuzzer (Debian: apt-get install clang);
# without one it says so and exits 2. KINORA_FUZZ_DIR: where the binary, corpus
# and crash files go (default /tmp/kinora_fuzz). Exits non-zero on any finding.
set -euo pipefail

seconds=${1:-70}
shift || true

here=$(cd "$(dirname "$0")" && pwd)
pkg=$(cd "$here/../.." && pwd)
out=${KINORA_FUZZ_DIR:-/tmp/kinora_fuzz}
mkdir -p "$out/corpus" "$out/artifacts"

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! command -v clang++ >/dev/null ||
  ! echo "$probe" | clang++ -fsanitize=fuzzer -x c++ - -o "$out/probe" 2>/dev/null; then
  echo "run_fuzz.sh: clang++ with -fsanitize=fuzzer is not available" >&2
  exit 2
fi

sources=(recording.cpp recording_check.cpp variance.cpp run_flags.cpp session_log.cpp)
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -D_GLIBCXX_ASSERTIONS -I"$pkg/include" \
  "$here/fuzz_recording.cpp" "${sources[@]/#/$pkg/src/}" \
  -lroscpp -lrosconsole -lrostime -lroscpp_serialization -lxmlrpcpp -lboost_system -lpthread \
  -o "$out/fuzz_recording"

# Seeds: well-formed rows with LF and CR-LF ends, a short line, a blank line, number forms.
row() { local r=$1 s=""; for c in $(seq 0 22); do s+="$r.$c "; done; printf '%s' "$s"; }
printf '%s\n%s\n%s\n' "$(row 1)" "$(row 2)" "$(row 3)" >"$out/corpus/seed_lf"
printf '%s\r\n%s\r\n' "$(row 1)" "$(row 2)" >"$out/corpus/seed_crlf"
printf '%s\n%s\n\n%s' "$(row 1)" "$(row 2 | cut -d' ' -f1-22)" "$(row 3)" >"$out/corpus/seed_short"
printf -- '-0.5 +1 1e-3 .25 1E+2 7. %s -4 x\n%s' "$(row 5 | cut -d' ' -f7-23)" "$(row 6)" >"$out/corpus/seed_forms"

ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$out/fuzz_recording" "$out/corpus" -dict="$here/recording.dict" -max_total_time="$seconds" \
  -max_len=4096 -print_final_stats=1 -artifact_prefix="$out/artifacts/" "$@"
