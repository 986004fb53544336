#!/usr/bin/env bash
# Checks the packages that `--target package` made: the .deb of the native
# build is unpacked into a scratch root (dpkg -x, no root needed), its
# declared dependencies must name the Debian runtime packages of Paho and
# libqrencode, and its programs must find every shared library they need and
# start; the .zip of the MinGW build must hold pivaro.exe and the licence
# notices of the libraries built into it; the setup program of the MinGW
# build must install, run and uninstall under Wine (setup-roundtrip.sh).
# Usage: check-packages.sh deb <native build folder> | zip|setup <mingw build folder>
set -euo pipefail
kind=$1 dir=$2

if [ "$kind" = deb ]; then
  deb=$(ls "$dir"/pivaro_*.deb | head -n 1)
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$(basename "$deb"): Depends: $depends"
  for runtime in libpaho-mqtt1.3 libqrencode4; do
    grep -q "$runtime" <<<"$depends" || { echo "no dependency on $runtime"; exit 1; }
  done
  root=$(mktemp -d /tmp/pivaro-deb-XXXXXX)
  trap 'rm -rf "$root"' EXIT
  dpkg -x "$deb" "$root"
  for program in pivaro pivaro-phone; do
    [ -x "$root/usr/bin/$program" ] || { echo "usr/bin/$program missing"; exit 1; }
    if ldd "$root/usr/bin/$program" | grep -q "not found"; then
      echo "$program: a shared library is missing"; exit 1
    fi
  done
  # Both installed programs must load and run: pivaro prints its version,
  # its phone simulator its usage.
  timeout 10 "$root/usr/bin/pivaro" --version | grep -q "^pivaro [0-9]" ||
    { echo "pivaro from the package does not run"; exit 1; }
  timeout 10 "$root/usr/bin/pivaro-phone" --help 2>&1 | grep -q "usage: pivaro-phone" ||
    { echo "pivaro-phone from the package does not run"; exit 1; }
elif [ "$kind" = zip ]; then
  zip=$(ls "$dir"/pivaro-*-Windows.zip | head -n 1)
  listing=$(unzip -Z1 "$zip")
  entries=(pivaro.exe)
  # The notices of the libraries the build linked in (a build without the
  # pinned archives and without a network leaves them out).
  cache="$dir/CMakeCache.txt"
  if grep -q "^PIVARO_WITH_MQTT:BOOL=ON" "$cache" && [ -d "$dir/_deps/paho_mqtt_c-src" ]; then
    entries+=(licences/paho.mqtt.c/epl-v20 licences/paho.mqtt.c/edl-v10)
  fi
  if grep -q "^PIVARO_WITH_QRENCODE:BOOL=ON" "$cache" && [ -d "$dir/_deps/libqrencode-src" ]; then
    entries+=(licences/libqrencode/COPYING)
  fi
  for entry in "${entries[@]}"; do
    grep -qx "$entry" <<<"$listing" || { echo "$entry missing from $(basename "$zip")"; exit 1; }
  done
  echo "$(basename "$zip"): $(wc -l <<<"$listing") entries, pivaro.exe and the notices"
elif [ "$kind" = setup ]; then
  # The setup program under Wine (run under a display: xvfb-run), as a user
  # meets it: a silent install over an older version, the installed program
  # started and its window checked, a silent uninstall that leaves nothing.
  bash "$(dirname "$0")/setup-roundtrip.sh" "$dir"
else
  echo "usage: check-packages.sh deb|zip|setup <build folder>"; exit 2
fi
