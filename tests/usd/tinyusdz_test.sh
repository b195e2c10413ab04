#!/bin/sh
# The USD layers mhost bake writes, read by an independent USD reader: npm's
# tinyusdz, whose WebAssembly build runs in a page of Debian's chromium
# (headless, driven by puppeteer-core under Node.js): see
# tinyusdz_check.mjs. A layer tinyusdz refuses fails the test. Skipped where
# no chromium, Node.js or npm package is available (a failure in CI: see
# tests/support/skip.sh).
#
#   tinyusdz_test.sh MHOST WORKDIR NODE_PREFIX
set -eu
mhost=$1 work=$2 nodePrefix=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/skip.sh"
. "$here/../support/chromium.sh"
needChromium "$nodePrefix" "tinyusdz and puppeteer-core"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# A base that moves; under it a chain of keyed nodes blending Euler angles
# and one blending quaternions, with names that are no USD identifiers (two
# of them made alike), a node that does not move, and a chain on its own.
cat >script.json <<'EOF'
[
  {"op": "create", "type": "null", "name": "base"},
  {"op": "keyframes", "node": "base", "parm": "t", "component": 0, "keys": [[0, 0], [2, 3]]},
  {"op": "keyframes", "node": "base", "parm": "r", "component": 1, "keys": [[0, 0], [2, 120]]},
  {"op": "create", "type": "null", "name": "still"},
  {"op": "set", "node": "still", "parm": "t", "value": [0.25, -1, 2]},
  {"op": "wire", "node": "still", "input": 0, "from": "base"}
]
EOF
python3 - "$work/script.json" <<'EOF'
import json, sys
path = sys.argv[1]
script = json.load(open(path))
chains = [("euler", ["left arm", "1st joint", "é tip"]),
          ("quat", ["left.arm", "arm L", "2nd \"joint\""]),
          ("quat", ["loose", "loose child"])]
for c, (interp, names) in enumerate(chains):
    parent = "base" if c < 2 else None
    for i, name in enumerate(names):
        script.append({"op": "create", "type": "quenlo", "name": name})
        if parent:
            script.append({"op": "wire", "node": name, "input": 0, "from": parent})
        script.append({"op": "set", "node": name, "parm": "interp", "value": 0 if interp == "euler" else 1})
        script.append({"op": "set", "node": name, "parm": "numkeys", "value": 2})
        for k in range(3):
            script.append({"op": "set", "node": name, "parm": f"keyval{k}", "value": k})
            script.append({"op": "set", "node": name, "parm": f"t{k}", "value": [0.5 * k + 0.1 * c, 0.25 * i * k, -0.3 * k]})
            script.append({"op": "set", "node": name, "parm": f"r{k}", "value": [40.0 * k, 25.0 * k * (i + 1), 75.0 * c * k]})
            script.append({"op": "set", "node": name, "parm": f"s{k}", "value": [1 + 0.1 * k, 1, 1 - 0.05 * k]})
        script.append({"op": "keyframes", "node": name, "parm": "driverval", "keys": [[0, 0], [2, 2 + 0.1 * i]]})
        parent = name
json.dump(script, open(path, "w"), indent=1)
EOF
"$mhost" run script.json --save rig.json >/dev/null

# Each layer beside the .npy bake of the same command.
bake() {
  name=$1
  shift
  for ext in usda npy; do
    "$mhost" bake rig.json --time 0:2:48 --out "$name.$ext" "$@"
  done
}
bake whole --threads 2
bake share --frames 10:30
bake chosen --nodes "2nd \"joint\"" --threads 1
# The same bytes whatever the threads (the doc names the output file).
mv whole.usda threads2.usda
"$mhost" bake rig.json --time 0:2:48 --out whole.usda --threads 1
cmp whole.usda threads2.usda

exec node "$here/tinyusdz_check.mjs" "$nodePrefix" "$browser" "$work" whole share chosen
