#!/usr/bin/env bash
# Makes the Debian packages libmorvane9, libmorvane-dev and mhost from one
# build (CPack: cmake/Packaging.cmake) into build-deb/ (or $BUILD_DIR),
# installing what the build needs first. Install them with
#   sudo apt-get install ./build-deb/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-deb}
# CPack computes the packages' dependencies with dpkg-shlibdeps (in
# dpkg-dev) on the files that file(1) finds to be ELF objects.
missing=()
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v file >/dev/null || missing+=(file)
if ((${#missing[@]})); then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# Files where Debian puts them: /usr, and libraries in the multiarch folder.
BUILD_DIR=$build CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release -DQUENLO_TESTS=OFF -DQUENLO_BENCH=OFF \
  -DQUENLO_PYTHON=OFF ${CMAKE_ARGS:-} -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR=lib/$multiarch" bash scripts/bootstrap.sh
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
