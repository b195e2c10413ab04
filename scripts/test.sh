#!/usr/bin/env bash
# Builds the project (installing what is missing) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
# The viewer's browser test needs chromium, the glTF check Node.js and npm
# (for the Khronos validator); where they cannot be installed, those tests
# report themselves skipped.
extras=()
command -v chromium >/dev/null 2>&1 || extras+=(chromium)
command -v node >/dev/null 2>&1 || extras+=(nodejs)
command -v npm >/dev/null 2>&1 || extras+=(npm)
if ((${#extras[@]})); then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "test: installing ${extras[*]} for the browser, glTF and USD tests" >&2
  { "${sudo_cmd[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
      "${extras[@]}"; } ||
    echo "test: ${extras[*]} could not be installed; the tests that need them will be skipped" >&2
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
