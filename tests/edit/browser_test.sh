#!/bin/sh
# mhost edit in Debian's chromium, driven by puppeteer-core (from npm) under
# Node.js: TEST.mjs, one of this folder's browser tests (browser_test.mjs,
# timeline_test.mjs, load_test.mjs). Skipped where no chromium, Node.js or
# puppeteer-core is available (a failure in CI: see tests/support/skip.sh).
#
#   browser_test.sh TEST.mjs MHOST WORKDIR NODE_PREFIX [SCREENSHOT]
set -eu
test=$1 mhost=$2 work=$3 nodePrefix=$4 screenshot=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/skip.sh"
. "$here/../support/chromium.sh"
needChromium "$nodePrefix" "puppeteer-core"
mkdir -p "$work"
# A run killed on its way may have left its sessions' journals.
find "$work" -maxdepth 1 -name '.*.mhost-journal' -delete
exec node "$here/$test" "$mhost" "$browser" "$work" "$nodePrefix" $screenshot
