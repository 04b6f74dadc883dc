#!/usr/bin/env bash
# The tablet camera's figures, run by hand on a built workspace
# (scripts/setup.sh): for each size of the pose model (lite, full, heavy), in
# headless chromium with a photograph as its camera, the time to its first
# frame, the frames it looks at per second, and the landmarks' latency to
# /person_pose. Prints a Markdown table (docs/benchmarks.md).
#
#   scripts/camera_figures.sh [SECONDS]     (the window measured per model, default 30)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export KINORA_CAMERA_FIGURE_SECONDS="${1:-30}"
exec "$root/nao_kinora_console/test/browser/run_browser_test.sh" camera_figures
