#!/usr/bin/env bash
# Start-up and shut-down of the Windows program under Wine on a virtual
# display: the figures of bench/ui/startup_bench.cpp over RUNS runs.
# Usage: bench/program_startup.sh [mingw build dir] [runs]
set -euo pipefail
build=${1:-build/mingw}
runs=${2:-5}
bench="$build/bench/ui/pivaro_startup_bench.exe"
program="$build/ui/pivaro.exe"
[ -f "$bench" ] && [ -f "$program" ] || { echo "build the mingw preset first" >&2; exit 1; }
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$PWD/build/wineprefix}
# No phone comes: the direct session on a free port, no report service.
export PIVARO_DIRECT_PORT=0 PIVARO_REPORT_URL=http://127.0.0.1:9/
xvfb-run -a wine "$bench" "$program" "$runs"
