# Sourced by the tests that drive Debian's chromium with npm's packages
# under Node.js, after skip.sh.
#
# needChromium NODE_PREFIX WHAT: sets $browser to chromium and $nodePrefix
# to the folder of npm packages (tests/node/install.sh fills it), or skips
# the test where no chromium, Node.js or npm package is available; WHAT
# names the packages in that message.
needChromium() {
  browser=$(command -v chromium || command -v chromium-browser || true)
  if [ -z "$browser" ]; then
    skip "no chromium on this machine (apt-get install chromium)"
  fi
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    skip "no Node.js or npm on this machine (apt-get install nodejs npm)"
  fi
  nodePrefix=$(sh "$(dirname "$0")/../node/install.sh" "$1") ||
    skip "npm could not install $2"
}
