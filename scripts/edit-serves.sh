#!/usr/bin/env bash
# Whether an mhost, as built, installed or packaged, serves an editing
# session: `mhost edit` of a new scene prints the page's address, and the
# page comes from it. It loads its HTTP server only to serve, so this is what
# finds that server missing from an install.
#
#   edit-serves.sh MHOST
set -euo pipefail
mhost=$1
work=$(mktemp -d)
edit=
trap '[ -n "$edit" ] && kill "$edit" 2>/dev/null; rm -rf "$work"' EXIT
fail() { cat "$work/err" >&2 || true; echo "edit-serves: $*" >&2; exit 1; }

"$mhost" edit "$work/new.json" --port 0 >"$work/out" 2>"$work/err" </dev/null &
edit=$!
for _ in $(seq 200); do
  grep -q '^http://127\.0\.0\.1:' "$work/out" && break
  kill -0 "$edit" 2>/dev/null || fail "mhost edit ended without serving"
  sleep 0.05
done
address=$(head -n 1 "$work/out")
[[ $address == http://127.0.0.1:* ]] || fail "mhost edit printed no address in 10 s"
/usr/bin/python3 -c '
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=10) as page:
    sys.exit(0 if page.status == 200 and b"<html" in page.read().lower() else 1)
' "$address" || fail "the page at $address did not come"
kill -TERM "$edit"
wait "$edit" || fail "mhost edit did not end cleanly on SIGTERM"
edit=
