#!/bin/sh
# mhost edit in Debian's chromium, driven by puppeteer-core (from npm) under
# Node.js: see browser_test.mjs. Exits 77 (skipped, saying why) where no
# chromium, Node.js or puppeteer-core can be had.
#
#   browser_test.sh MHOST WORKDIR [SCREENSHOT]
set -eu
mhost=$1 work=$2 screenshot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "SKIPPED: no chromium on this machine (apt-get install chromium)"
  exit 77
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "SKIPPED: no Node.js on this machine (apt-get install nodejs npm)"
  exit 77
fi
mkdir -p "$work"
if [ ! -d "$work/node_modules/puppeteer-core" ] &&
   ! npm install --prefix "$work" --no-audit --no-fund --silent puppeteer-core@24.43.1 >"$work/npm.log" 2>&1; then
  echo "SKIPPED: npm could not install puppeteer-core:"
  tail -n 5 "$work/npm.log"
  exit 77
fi
exec node "$here/browser_test.mjs" "$mhost" "$browser" "$work" $screenshot
