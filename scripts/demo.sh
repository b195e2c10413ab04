#!/usr/bin/env bash
# Builds the project (installing what is missing) and runs the host
# program's built-in demo. Extra arguments go to "mhost demo".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
exec "${BUILD_DIR:-build}/mhost" demo "$@"
