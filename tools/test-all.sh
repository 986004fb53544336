#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every
# test suite natively and, cross-built with MinGW-w64, under Wine, and runs
# the fuzz targets over their corpora for a short while; the Windows setup
# program is installed, run and uninstalled under Wine. Every stage always
# runs; the command fails when any failed.
# Servers the tests need (Mosquitto, HTTP) are started by the tests
# themselves on free loopback ports.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh || exit 1

native=0
echo "== native build and tests"
{ cmake --preset native && cmake --build --preset native && ctest --preset native; } || native=1
echo "== native package"
{ cmake --build --preset native --target package &&
  bash tools/check-packages.sh deb build/native; } || native=1

fuzz=0
echo "== fuzz targets over their corpora, then a short budget each"
bash tools/fuzz-all.sh || fuzz=1

wine=0
echo "== MinGW-w64 build and tests under Wine"
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
if cmake --preset mingw && cmake --build --preset mingw; then
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
  fi
  bash tools/wine-fonts.sh
  xvfb-run -a ctest --preset mingw || wine=1
  echo "== Windows package"
  { cmake --build --preset mingw --target package &&
    bash tools/check-packages.sh zip build/mingw &&
    xvfb-run -a bash tools/check-packages.sh setup build/mingw; } || wine=1
else
  wine=1
fi

echo "== results: native $([ $native = 0 ] && echo passed || echo FAILED)," \
  "fuzz $([ $fuzz = 0 ] && echo passed || echo FAILED)," \
  "Wine $([ $wine = 0 ] && echo passed || echo FAILED)"
exit $((native | fuzz | wine))
