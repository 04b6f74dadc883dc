#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
# Exits non-zero when any test fails (catkin_make run_tests would not).
# --stress first: the same under a loaded CPU (scripts/stress.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--stress" ]; then
  shift
  exec "$root/scripts/stress.sh" "$@"
fi
"$root/scripts/setup.sh"
"$root/scripts/setup.sh" tests
cd "${KINORA_WS:-$root/build/ws}/build"
ctest --output-on-failure --timeout 300 "$@"
