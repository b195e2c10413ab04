#!/bin/sh
# mhost edit in Debian's chromium, driven by puppeteer-core (from npm) under
# Node.js: TEST.mjs, one of this folder's browser tests (browser_test.mjs,
# timeline_test.mjs, load_test.mjs). Skipped where no chromium, Node.js or puppeteer-core
# is available (a failure in CI: see tests/support/skip.sh).
#
#   browser_test.sh TEST.mjs MHOST WORKDIR NODE_PREFIX [SCREENSHOT]
set -eu
test=$1 mhost=$2 work=$3 nodePrefix=$4 screenshot=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/skip.sh"
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  skip "no chromium on this machine (apt-get install chromium)"
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  skip "no Node.js or npm on this machine (apt-get install nodejs npm)"
fi
nodePrefix=$(sh "$here/../node/install.sh" "$nodePrefix") ||
  skip "npm could not install puppeteer-core"
mkdir -p "$work"
# A run killed on its way may have left its sessions' journals.
find "$work" -maxdepth 1 -name '.*.mhost-journal' -delete
exec node "$here/$test" "$mhost" "$browser" "$work" "$nodePrefix" $screenshot
