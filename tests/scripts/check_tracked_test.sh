#!/bin/sh
# scripts/check-tracked on a scratch repository: it passes on sources alone
# and fails, naming each file, once build or test output is tracked.
# $1: the script.
set -eu
check=$1
repo=$(mktemp -d)
trap 'rm -rf "$repo"' EXIT
git -C "$repo" init -q
mkdir -p "$repo/src" "$repo/Testing/Temporary" "$repo/build-release/app" "$repo/pkg/__pycache__"
touch "$repo/src/main.cpp" "$repo/src/build.hpp" "$repo/Testing/Temporary/LastTest.log" \
  "$repo/build-release/app/main.o" "$repo/CMakeCache.txt" "$repo/pkg/__pycache__/m.pyc" \
  "$repo/src/libx.so"
git -C "$repo" add src/main.cpp src/build.hpp
python3 "$check" "$repo" >"$repo/.out" || { echo "sources alone were refused:"; cat "$repo/.out"; exit 1; }
git -C "$repo" add -f .
if python3 "$check" "$repo" >"$repo/.out"; then
  echo "tracked build output passed:"; cat "$repo/.out"; exit 1
fi
for file in Testing/Temporary/LastTest.log build-release/app/main.o CMakeCache.txt \
  pkg/__pycache__/m.pyc src/libx.so; do
  grep -q "^$file: " "$repo/.out" || { echo "$file not named:"; cat "$repo/.out"; exit 1; }
done
if grep -q "^src/main.cpp\|^src/build.hpp" "$repo/.out"; then
  echo "a source file was named:"; cat "$repo/.out"; exit 1
fi
echo "check-tracked test: passed"
