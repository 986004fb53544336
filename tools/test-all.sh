#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every
# test suite natively and, cross-built with MinGW-w64, under Wine.
# Servers the tests need (Mosquitto, HTTP) are started by the tests
# themselves on free loopback ports.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh

echo "== native build and tests"
cmake --preset native
cmake --build --preset native
ctest --preset native

echo "== fuzz targets over their corpora, then a short budget each"
bash tools/fuzz-all.sh

echo "== MinGW-w64 build and tests under Wine"
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
cmake --preset mingw
cmake --build --preset mingw
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
fi
xvfb-run -a ctest --preset mingw
