# shellcheck shell=bash
# A private ROS master on the loopback address, for scripts that run ROS
# processes on their own (the demo, the benchmarks). Source it after the
# workspace's devel/setup.bash:
#
#   source scripts/ros_env.sh
#   ros_private_env RUN_DIR     # a free port, ROS_MASTER_URI and friends, logs in RUN_DIR
#   rosmaster --core -p "$ros_port" &   # or let roslaunch start the master on it
#   ros_wait_for_master || exit 1
#
# Catkin and rospy need Debian's python, not whichever python3 is first on PATH.

# Prints a TCP port on 127.0.0.1 that is free now.
ros_free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Sets ros_port to a free port and exports the environment of a master on it:
# every node names itself localhost, and ROS_HOME and the logs go to RUN_DIR.
ros_private_env() {
  local run_dir=$1
  ros_port=$(ros_free_port)
  export ROS_MASTER_URI="http://localhost:$ros_port" ROS_HOSTNAME=localhost ROS_IP=127.0.0.1
  export ROS_HOME="$run_dir" ROS_LOG_DIR="$run_dir/log"
}

# Waits until the master at ROS_MASTER_URI answers, at most SECONDS (default 10).
# Status 1, with a line on standard error, when it does not.
ros_wait_for_master() {
  local tenths=$((${1:-10} * 10)) tenth
  for ((tenth = 0; tenth < tenths; ++tenth)); do
    /usr/bin/python3 -c 'import os, xmlrpc.client
xmlrpc.client.ServerProxy(os.environ["ROS_MASTER_URI"]).getPid("/ros_env")' 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the ROS master at $ROS_MASTER_URI did not answer within ${1:-10} s" >&2
  return 1
}
