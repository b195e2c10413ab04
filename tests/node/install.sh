#!/bin/sh
# Installs the npm packages of the browser and glTF tests (package.json
# beside this script) into one folder that every such test of a run shares,
# so that nothing is fetched twice: PREFIX, or $MHOST_NODE_PREFIX when set
# (CI sets it once for all its builds). Tests running at once wait for one
# another on a lock; a folder that already holds the packages is used as it
# is. Prints the folder on success; exits 1 saying why otherwise.
#
#   install.sh PREFIX
set -eu
here=$(cd "$(dirname "$0")" && pwd)
prefix=${MHOST_NODE_PREFIX:-$1}
mkdir -p "$prefix"
exec 9>"$prefix/.install.lock"
flock 9
if ! cmp -s "$here/package.json" "$prefix/package.json" || [ ! -f "$prefix/.installed" ]; then
  rm -f "$prefix/.installed"
  cp "$here/package.json" "$prefix/package.json"
  if ! npm install --prefix "$prefix" --no-audit --no-fund --no-package-lock --loglevel=error \
      >"$prefix/npm.log" 2>&1; then
    echo "npm could not install the test packages into $prefix:" >&2
    tail -n 5 "$prefix/npm.log" >&2
    exit 1
  fi
  touch "$prefix/.installed"
fi
echo "$prefix"
