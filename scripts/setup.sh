#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs (only those missing) and builds
# the catkin workspace under build/ws. Safe to run again: a second run installs nothing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
packages=(
  build-essential cmake catkin
  libroscpp-dev libstd-msgs-dev ros-std-msgs ros-message-generation ros-message-runtime
  python3-rosmaster python3-rostopic python3-rospy python3-roslaunch python3-rostest python3-rosunit
  librostest-dev python3-rosbag librosbag-dev rosbash
  libboost-dev libgtest-dev googletest nlohmann-json3-dev
  pkg-config libplplot-dev plplot-driver-cairo espeak-ng alsa-utils iproute2 procps python3-rosparam
  clang libclang-rt-dev libfaketime
  libstd-srvs-dev ros-std-srvs libdiagnostic-updater-dev python3-rosservice python3-std-srvs python3-diagnostic-msgs
  libcpp-httplib-dev libroslib-dev chromium fonts-dejavu-core nodejs socat libsqlite3-dev libssl-dev
  libsensor-msgs-dev ros-sensor-msgs poppler-utils stress-ng libpq-dev postgresql libsodium-dev
  ros-robot-state-publisher rviz liburdfdom-tools liburdfdom-dev libtf2-ros-dev
  python3-skimage
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian's nodejs comes without npm; other builds of nodejs bring their own.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ] && [ -n "${KINORA_NO_INSTALL:-}" ]; then
  echo "not installing (KINORA_NO_INSTALL): ${missing[*]}" >&2
elif [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

# The npm packages of the console's 3D view (three.js and its URDF loader,
# served by the console), of the tablet camera's pose model (MediaPipe Pose
# with its WASM and models, served by the console) and of its browser test,
# exactly as locked, each in a git-ignored node_modules; installed again only
# when its lock file has changed.
for npm_dir in "$root/nao_kinora_console/viewer" "$root/nao_kinora_console/pose" \
  "$root/nao_kinora_console/test/browser"; do
  lock_sum=$(sha256sum "$npm_dir/package-lock.json" | cut -d' ' -f1)
  if [ "$(cat "$npm_dir/node_modules/.lock-sha256" 2>/dev/null)" != "$lock_sum" ]; then
    if [ -n "${KINORA_NO_INSTALL:-}" ]; then
      echo "not installing (KINORA_NO_INSTALL): the npm packages of $npm_dir" >&2
    else
      echo "installing the npm packages of $npm_dir"
      (cd "$npm_dir" && npm ci --no-audit --no-fund)
      echo "$lock_sum" > "$npm_dir/node_modules/.lock-sha256"
    fi
  fi
done

# catkin needs Debian's python3, not whichever python3 comes first on PATH.
ws="${KINORA_WS:-$root/build/ws}"  # KINORA_WS: another workspace, e.g. for a second build
mkdir -p "$ws/src"
for pkg in nao_msgs nao_kinora_msgs nao_kinora nao_kinora_tracker nao_kinora_description nao_kinora_sim \
  nao_kinora_console nao_kinora_robot; do
  ln -sfn "$root/$pkg" "$ws/src/$pkg"
done
catkin_make -C "$ws" -DPYTHON_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCATKIN_ENABLE_TESTING=ON "$@"
