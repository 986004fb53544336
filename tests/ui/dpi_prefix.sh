#!/usr/bin/env bash
# Runs a window test program in a Wine prefix whose screen density is DPI
# (LogPixels), made on first use with the fonts the windows need:
#   dpi_prefix.sh DPI PREFIX PROGRAM [ARGS...]
# The program learns the density it must find from PIVARO_EXPECT_DPI.
set -euo pipefail
dpi=$1 prefix=$2 program=$3
shift 3
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
mkdir -p "$WINEPREFIX"
bash "$here/tools/wine-fonts.sh"
# Both places Wine has read the density from over its versions.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
  /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
wineserver -w
PIVARO_EXPECT_DPI=$dpi wine "$program" "$@"
