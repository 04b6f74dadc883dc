#!/usr/bin/env bash
# Runs a command beside a ROS master of its own, on a free port:
#   with_master.sh COMMAND [ARGS...]
# ROS_MASTER_URI names it for the command; the master ends with the command,
# whose exit status is this script's.
set -euo pipefail

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp /tmp/kinora_fuzz_master.XXXXXX)
# rosmaster needs Debian's python3, whichever comes first on PATH.
/usr/bin/python3 /usr/bin/rosmaster --core -p "$port" >"$log" 2>&1 &
master=$!
# The command's temporary files (the fuzz target's clinic) go with it.
TMPDIR=$(mktemp -d /tmp/kinora_fuzz_tmp.XXXXXX)
export TMPDIR
trap 'kill "$master" 2>/dev/null || true; wait "$master" 2>/dev/null || true; rm -rf "$log" "$TMPDIR"' EXIT

export ROS_MASTER_URI=http://127.0.0.1:$port/
export ROS_HOSTNAME=127.0.0.1
# ROS logs of the run stay in a folder of its own.
ROS_LOG_DIR=$(mktemp -d /tmp/kinora_fuzz_roslog.XXXXXX)
export ROS_LOG_DIR
status=0
"$@" || status=$?
rm -rf "$ROS_LOG_DIR"
exit $status
