#!/usr/bin/env bash
# The Debian packages as a user meets them, as root (CI): lintian reports no
# error; apt-get installs the three; mhost runs from /usr/bin, mhost edit
# serves, man mhost renders, a new user's bash completes commands and
# options; the module template builds against the installed SDK with
# find_package and with pkg-config, and mhost validate passes it; apt-get
# purge leaves none of the packages' files behind.
#
#   package-test.sh FOLDER_OF_THE_DEBS
set -euo pipefail
debs=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

packages=(lintian man-db bash-completion)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

lintian --tag-display-limit 0 "$debs"/*.deb >"$work/lintian.txt" 2>&1 || true
grep -v "running with root privileges" "$work/lintian.txt" || true
if grep -q "^E: " "$work/lintian.txt"; then
  fail "lintian reports errors"
fi

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$debs"/*.deb >/dev/null
names=(libmorvane9 libmorvane-dev mhost)
dpkg -L "${names[@]}" | while read -r f; do [ -f "$f" ] || [ -L "$f" ] && echo "$f"; done \
  >"$work/files.txt" || true

[ "$(command -v mhost)" = /usr/bin/mhost ] || fail "mhost is not /usr/bin/mhost"
(cd "$work" && mhost demo --steps 2 >/dev/null) || fail "mhost demo fails"
bash "$source/scripts/edit-serves.sh" /usr/bin/mhost || fail "mhost edit does not serve"
MANWIDTH=80 man mhost 2>/dev/null | grep -q "mhost keys" || fail "man mhost does not render"

# The completion as a new user meets it: their own interactive bash on a
# terminal, typing and pressing TAB. bash-completion loads a command's
# completion at its first TAB (as it does git's and apt's), so complete -p
# names it from then on.
user=mhost-tab-test
userdel --remove "$user" 2>/dev/null || true  # left by an interrupted run
useradd --create-home --shell /bin/bash "$user"
trap 'userdel --remove "$user" 2>/dev/null; rm -rf "$work"' EXIT
python3 "$source/scripts/tab-complete.py" "$user" \
  'mhost ev' 'mhost eval ' \
  'mhost eval --fo' 'mhost eval --format ' \
  $'complete -p mhost\n' 'complete -F _mhost mhost' ||
  fail "bash does not complete mhost's commands and options"
# Node types where a type is expected, as the completion function offers them.
types=$(bash -c '. /usr/share/bash-completion/bash_completion
                 __load_completion mhost || exit 1
                 COMP_WORDS=(mhost info ""); COMP_CWORD=2; _mhost; echo "${COMPREPLY[*]}"')
grep -qw quenlo <<<"$types" || fail "mhost info <TAB> does not give the node types"

cp -r "$source/examples/module-template" "$work/template"
cmake -S "$work/template" -B "$work/template/build" -G Ninja >/dev/null ||
  fail "the template does not configure against the installed SDK"
cmake --build "$work/template/build" >/dev/null || fail "the template does not build"
# shellcheck disable=SC2046
c++ $(pkg-config --cflags morvane) -fPIC -fvisibility=hidden -shared \
  "$work/template/OBJ_Lift.cpp" -o "$work/OBJ_Lift.so" $(pkg-config --libs morvane) \
  -Wl,--no-undefined || fail "the template does not build with pkg-config"
(cd "$work" && mhost validate "$work/template/build/OBJ_Lift.so" "$work/OBJ_Lift.so" \
  /usr/lib/*/morvane/modules/OBJ_Quenlo.so >/dev/null) || fail "mhost validate fails"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" >/dev/null
left=$(while read -r f; do if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done <"$work/files.txt")
[ -z "$left" ] || fail "apt-get purge left: $left"
echo "package test: passed ($(wc -l <"$work/files.txt") files installed and purged)"
