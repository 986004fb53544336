#!/usr/bin/env bash
# The Windows setup program's round trip under Wine: an older version is
# installed first (made from the same NSIS script with another version and
# one file of its own), then the new setup silently (/S) over it; the files,
# the Start-menu shortcut and the user's Uninstall key are checked, the
# installed pivaro.exe is started and its window checked, and the silent
# uninstall must leave none of them. Needs a display (xvfb-run).
# Usage: setup-roundtrip.sh <mingw build folder>
set -euo pipefail
dir=$(realpath "$1")
setup=$(ls "$dir"/Pivaro-*-setup.exe | head -n 1)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
echo "$(basename "$setup"): $(stat -c %s "$setup") bytes"

export WINEDEBUG=-all
# No desktop entries in the real home folder for the shortcuts.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
export WINEPREFIX=${WINEPREFIX:-$(dirname "$dir")/wineprefix}
if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1 || true; fi

fail() { echo "setup round trip: $*"; exit 1; }
winvar() { wine cmd /c "echo %$1%" 2>/dev/null | tr -d '\r'; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pivaro'
appdir=$(winepath -u "$(winvar LOCALAPPDATA)\\Programs\\Pivaro")
shortcut=$(winepath -u "$(winvar APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs\\Pivaro.lnk")
regvalue() { wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
# Up to 30 s for cond (the uninstaller runs on from a copy of itself).
waitfor() {
  for _ in $(seq 1 60); do
    if eval "$1"; then return 0; fi
    sleep 0.5
  done
  return 1
}
scratch=$(mktemp -d /tmp/pivaro-setup-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# The older version: CPack's script of this setup, with version 1.0.0.1
# and a file that the new version no longer has.
nsi="$dir/_CPack_Packages/win64/NSIS/project.nsi"
[ -f "$nsi" ] || fail "no NSIS script at $nsi"
echo "only in the older version" >"$scratch/old-only.txt"
sed -e "/DisplayVersion\\|BrandingText/s/$version/1.0.0.1/" \
  -e "s#^OutFile .*#OutFile \"$scratch/old-setup.exe\"#" \
  -e "s#^  SetOutPath \"\\\$INSTDIR\"\$#&\\n  File \"$scratch/old-only.txt\"#" \
  -e "s#^Section \"Uninstall\"\$#&\\n  Delete \"\\\$INSTDIR\\\\old-only.txt\"#" \
  "$nsi" >"$scratch/old.nsi"
makensis -V1 "$scratch/old.nsi" >/dev/null || fail "the older setup did not build"
wine "$scratch/old-setup.exe" /S || fail "the older setup failed"
[ -f "$appdir/old-only.txt" ] || fail "the older version was not installed"
[ "$(regvalue DisplayVersion)" = 1.0.0.1 ] || fail "the older version is not registered"

wine "$setup" /S || fail "setup failed"
# The program and its uninstaller, and the notices of the libraries linked in
# where the build has their sources (the same rule as the .zip's check).
files=(pivaro.exe uninstall.exe)
[ -d "$dir/_deps/paho_mqtt_c-src" ] && files+=(licences/paho.mqtt.c/epl-v20 licences/paho.mqtt.c/edl-v10)
[ -d "$dir/_deps/libqrencode-src" ] && files+=(licences/libqrencode/COPYING)
for f in "${files[@]}"; do
  [ -f "$appdir/$f" ] || fail "$f not installed"
done
[ ! -e "$appdir/old-only.txt" ] || fail "a file of the older version was left"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
declare -A want=([DisplayName]=Pivaro [DisplayVersion]=$version [Publisher]=Pivaro
  [InstallLocation]="$(winvar LOCALAPPDATA)\\Programs\\Pivaro")
for name in "${!want[@]}"; do
  got=$(regvalue "$name")
  [ "$got" = "${want[$name]}" ] || fail "$name is '$got', not '${want[$name]}'"
done
case "$(regvalue DisplayIcon)" in *'\pivaro.exe,0') ;; *) fail "no icon registered" ;; esac
case "$(regvalue UninstallString)" in *'\uninstall.exe"') ;; *) fail "no uninstaller registered" ;; esac
echo "installed: $(du -sk "$appdir" | cut -f1) KiB in $appdir, shortcut and key present"

# The installed program starts, shows its window, and closes with 0.
PIVARO_DIRECT_PORT=0 wine "$dir/tests/ui/ui_program_tests.exe" "$appdir/pivaro.exe" \
  --gtest_filter=Program.SecondCopyBringsTheFirstForwardAndExitsWithOne ||
  fail "the installed program did not run as it should"

wine "$appdir/uninstall.exe" /S || fail "uninstall failed"
waitfor '[ ! -e "$appdir" ]' || fail "files left: $(find "$appdir" | head -5)"
[ ! -e "$shortcut" ] || fail "the shortcut was left"
if wine reg query "$key" >/dev/null 2>&1; then fail "the Uninstall key was left"; fi
echo "setup round trip passed: older version replaced, program ran, uninstall left nothing"
