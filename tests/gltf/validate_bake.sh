#!/bin/sh
# The glTF files mhost bake and eval --gltf write, checked by the Khronos
# glTF validator (npm's gltf-validator, run by Node.js): no error and no
# warning. Exits 77 (skipped, saying why) where Node.js or the validator
# cannot be had.
#
#   validate_bake.sh MHOST SCENE WORKDIR
set -eu
mhost=$1 scene=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "SKIPPED: no Node.js on this machine (apt-get install nodejs npm)"
  exit 77
fi
mkdir -p "$work"
if [ ! -d "$work/node_modules/gltf-validator" ] &&
   ! npm install --prefix "$work" --no-audit --no-fund --silent gltf-validator@2.0.0-dev.3.10 >"$work/npm.log" 2>&1; then
  echo "SKIPPED: npm could not install gltf-validator:"
  tail -n 5 "$work/npm.log"
  exit 77
fi
"$mhost" bake "$scene" --time 0:2:24 --out "$work/bake.glb" --threads 2
"$mhost" bake "$scene" --time 0:2:24 --out "$work/bake.gltf" --threads 1
"$mhost" eval "$scene" arm --time 0:2:24 --gltf "$work/eval.glb" >/dev/null
cp "$here/validate.mjs" "$work/validate.mjs"
node "$work/validate.mjs" "$work/bake.glb" "$work/bake.gltf" "$work/eval.glb"
