#!/usr/bin/env bash
# Builds what the demo needs, the host program and the OBJ_Quenlo module
# (installing what is missing), and runs the host program's built-in demo.
# Extra arguments go to "mhost demo".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh mhost OBJ_Quenlo
exec "${BUILD_DIR:-build}/mhost" demo "$@"
