#!/bin/sh
# The glTF files mhost bake and eval --gltf write, checked by the Khronos
# glTF validator (npm's gltf-validator, run by Node.js): no error and no
# warning. Skipped where Node.js or the validator is unavailable (a failure
# in CI: see tests/support/skip.sh).
#
#   validate_bake.sh MHOST SCENE WORKDIR NODE_PREFIX
set -eu
mhost=$1 scene=$2 work=$3 nodePrefix=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/skip.sh"
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  skip "no Node.js or npm on this machine (apt-get install nodejs npm)"
fi
nodePrefix=$(sh "$here/../node/install.sh" "$nodePrefix") ||
  skip "npm could not install gltf-validator"
mkdir -p "$work"
"$mhost" bake "$scene" --time 0:2:24 --out "$work/bake.glb" --threads 2
"$mhost" bake "$scene" --time 0:2:24 --out "$work/bake.gltf" --threads 1
"$mhost" eval "$scene" arm --time 0:2:24 --gltf "$work/eval.glb" >/dev/null
node "$here/validate.mjs" "$nodePrefix" "$work/bake.glb" "$work/bake.gltf" "$work/eval.glb"
