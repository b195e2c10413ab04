#!/usr/bin/env bash
# Installs what the build needs (Debian 12) and builds the project into
# build/ (or $BUILD_DIR): the targets named as arguments, or everything.
# Safe to run again: it installs only what is missing and rebuilds only what
# changed.
#
#   bootstrap.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libeigen3-dev nlohmann-json3-dev libcli11-dev
          libgtest-dev libbenchmark-dev binutils pkgconf python3-dev pybind11-dev
          python3-numpy python3-pytest python3-pil libtinygltf-dev libjs-three
          python3-build python3-venv mypy python3-distributed libcpp-httplib-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
targets=()
if (($#)); then targets=(--target "$@"); fi
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
