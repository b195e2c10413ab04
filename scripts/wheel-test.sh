#!/usr/bin/env bash
# The wheel as a Python user meets it: built by the command of docs/python.md,
# installed into a fresh virtual environment (Debian's numpy through the
# system site packages, nothing fetched), then checked from another folder
# with no PYTHONPATH, MORVANE_DSO_PATH or LD_LIBRARY_PATH: the package loads
# its module, `mhost demo` runs, `mhost edit` serves, the suite passes, the
# stubs match the installed extension and the example is clean under mypy
# --strict.
#
#   wheel-test.sh [RELEASE_BUILD_FOLDER]
#
# Given a Release build of this tree, the wheel is built in it
# (MORVANE_CMAKE_BUILD_DIR, setup.py): what the build already compiled is
# not compiled again.
set -euo pipefail
if (($#)); then
  MORVANE_CMAKE_BUILD_DIR=$(cd "$1" && pwd)
  export MORVANE_CMAKE_BUILD_DIR
fi
cd "$(dirname "$0")/.."
source=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m build --wheel --no-isolation --outdir "$work/dist" >"$work/build.log" 2>&1 ||
  { tail -n 60 "$work/build.log"; exit 1; }
wheel=$(echo "$work"/dist/morvane-*.whl)
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet "$wheel"

cd "$work"
unset PYTHONPATH MORVANE_DSO_PATH LD_LIBRARY_PATH MHOST_BINARY
export PATH="$work/venv/bin:$PATH" PYTHONDONTWRITEBYTECODE=1
python -c 'import morvane, sys; types = morvane.Scene().types(); print("types:", types); sys.exit("quenlo" not in types)'
mhost demo --steps 2 >/dev/null
bash "$source/scripts/edit-serves.sh" "$(command -v mhost)"
python -m pytest -q -p no:cacheprovider "$source/python/tests"
python -m mypy.stubtest morvane --allowlist "$source/python/stubtest-allowlist.txt"
python -m mypy --strict --no-incremental "$source/examples/rig.py"
echo "wheel test: passed ($(basename "$wheel"), $(stat -c %s "$wheel") bytes)"
