#!/usr/bin/env bash
# Builds the project (installing what is missing) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
# The viewer's browser test needs chromium; where it cannot be installed,
# that test reports itself skipped.
if ! command -v chromium >/dev/null 2>&1; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "test: installing chromium for the viewer's browser test" >&2
  { "${sudo_cmd[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
      chromium; } ||
    echo "test: chromium could not be installed; the browser test will be skipped" >&2
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
