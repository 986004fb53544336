#!/usr/bin/env bash
# Runs a window test program in a Wine prefix whose screen density is DPI
# (LogPixels), made on first use with the fonts the windows need:
#   dpi_prefix.sh DPI PREFIX PROGRAM [ARGS...]
# The program learns the density it must find from PIVARO_EXPECT_DPI.
set -euo pipefail
# A step that fails says which, not only the test runner's "Failed".
trap 'echo "dpi_prefix.sh: line $LINENO failed (exit $?)" >&2' ERR
dpi=$1 prefix=$2 program=$3
shift 3
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
mkdir -p "$WINEPREFIX"
bash "$here/tools/wine-fonts.sh"
# Sets the density under one key. A reg add can fail while the prefix's
# wineserver is still going away from the run before (seen once, with no
# word of why): it is tried three times, and the last failure says what.
set_dpi() {
  local key=$1 out
  for attempt in 1 2 3; do
    if out=$(wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f 2>&1); then return 0; fi
    wineserver -w || true
  done
  echo "could not set LogPixels under $key in $WINEPREFIX: $out" >&2
  return 1
}
# Both places Wine has read the density from over its versions.
set_dpi 'HKCU\Control Panel\Desktop'
set_dpi 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'
wineserver -w
PIVARO_EXPECT_DPI=$dpi wine "$program" "$@"
