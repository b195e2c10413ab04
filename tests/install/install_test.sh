#!/bin/sh
# What a module author does on a fresh machine: install the SDK, move the
# installed tree elsewhere, build the module template against it with
# find_package(Morvane) and with pkg-config, then load and validate it with
# the installed mhost. Nothing is taken from the build or source tree but
# the template's sources.
#
#   install_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER PYTHON_MODULE (ON or OFF)
set -eu
build=$1
source=$2
cxx=$3
python_module=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_DSO_PATH || true

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/sdk"
sdk=$work/sdk
# The library folder the build was configured with (lib, or Debian's
# lib/x86_64-linux-gnu for packages).
lib=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
lib=${lib:-lib}

for f in bin/mhost $lib/libmorvane.so $lib/cmake/Morvane/MorvaneConfig.cmake \
         $lib/cmake/Morvane/MorvaneConfigVersion.cmake $lib/pkgconfig/morvane.pc \
         include/OP/OP_Module.h $lib/morvane/modules/OBJ_Quenlo.so; do
  [ -e "$sdk/$f" ] || fail "$f is not installed"
done
soname=$(readelf -d "$sdk/$lib/libmorvane.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libmorvane.so.9 ] || fail "libmorvane.so has the SONAME '$soname', not libmorvane.so.9"
if grep -rlF -e "$build" -e "$source" "$sdk"; then
  fail "the files above name the build or source folder"
fi

# The moved tree finds its library, its module folder and its HTTP server
# on its own.
"$sdk/bin/mhost" info | grep -q 'Node type "quenlo"' || fail "installed mhost does not find quenlo"
"$sdk/bin/mhost" demo --steps 2 >/dev/null || fail "installed mhost demo fails"
bash "$source/scripts/edit-serves.sh" "$sdk/bin/mhost" || fail "installed mhost edit does not serve"

cp -r "$source/examples/module-template" "$work/template"
cmake -S "$work/template" -B "$work/template/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$sdk" >/dev/null || fail "the template does not configure"
cmake --build "$work/template/build" >/dev/null || fail "the template does not build"
MORVANE_DSO_PATH="$work/template/build:&" "$sdk/bin/mhost" info >"$work/info.txt"
grep -q 'Node type "lift"' "$work/info.txt" || fail "mhost does not load the template module"
grep -q 'Node type "quenlo"' "$work/info.txt" || fail "'&' in MORVANE_DSO_PATH lost the default folder"

"$sdk/bin/mhost" validate "$work/template/build/OBJ_Lift.so" "$sdk/$lib/morvane/modules/OBJ_Quenlo.so" \
  --junit "$work/report.xml" || fail "validation failed"
grep -q '<testsuite name="OBJ_Lift.so"' "$work/report.xml" || fail "no JUnit report"

# pkg-config alone, as a Makefile would.
command -v pkg-config >/dev/null || fail "pkg-config is not installed"
PKG_CONFIG_PATH="$sdk/$lib/pkgconfig"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$cxx" $(pkg-config --cflags morvane) -fPIC -fvisibility=hidden -shared \
  "$work/template/OBJ_Lift.cpp" -o "$work/OBJ_Lift.so" $(pkg-config --libs morvane) \
  -Wl,--no-undefined || fail "the template does not build with pkg-config"
"$sdk/bin/mhost" validate "$work/OBJ_Lift.so" --include loads --include cooks \
  || fail "the pkg-config build does not validate"
# The Python module, from the installed tree, finds its library and modules.
if [ "$python_module" = OFF ]; then
  echo "install test: passed (configured without the Python module)"
  exit 0
fi
python_dir=$(find "$sdk/lib" -path '*-packages' -type d | head -n 1)
[ -n "$python_dir" ] || fail "the Python module is not installed"
PYTHONPATH="$python_dir" /usr/bin/python3 -c '
import morvane
s = morvane.Scene()
assert "quenlo" in s.types(), s.types()
assert s.create("quenlo", "q").cook().severity == 0
' || fail "the installed Python module does not work"
echo "install test: passed"
