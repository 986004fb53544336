#!/usr/bin/env bash
# pivaro.exe under Wine serves the presenter view's slide pictures of the
# simulated application, which runs in its COM local server
# (pivaro_presentation_server.exe, registered in the Wine prefix as
# "PowerPoint.Application"): the browser remote's address is read off the
# window's QR code (switched to the browser's code by the Windows test
# program), and presenter_pictures.py joins as a browser phone on loopback,
# runs the show and fetches the pictures.
# Usage: com_presenter_pictures.sh <pivaro.exe> <pivaro_presentation_server.exe>
#                                  <ui_program_tests.exe>
set -euo pipefail
program=$1 server=$2 tests=$3
here=$(dirname "$0")
for need in "$(command -v zbarimg || true)" "$(command -v python3 || true)"; do
  if [ -z "$need" ]; then
    echo "missing zbarimg (zbar-tools) or python3"
    exit 77
  fi
done
work=$(mktemp -d)
pidfile=$work/server.pid
winpidfile="Z:${pidfile//\//\\}"
pc=""

server_pid() { tr -d '\r\n' <"$pidfile"; }
cleanup() {
  if [ -n "$pc" ]; then kill "$pc" 2>/dev/null || true; wait "$pc" 2>/dev/null || true; fi
  if [ -s "$pidfile" ]; then wine taskkill /F /PID "$(server_pid)" >/dev/null 2>&1 || true; fi
  wine "$server" --unregister=PowerPoint.Application || true
  rm -rf "$work"
}
trap cleanup EXIT

wine "$server" --register=PowerPoint.Application --kind=powerpoint --version=16.0 \
  "--pid-file=$winpidfile"
# Port 0: the direct session and the browser remote on ports the system
# picks, so nothing depends on a fixed port being free.
env PIVARO_DIRECT_PORT=0 wine "$program" &
pc=$!
for _ in $(seq 1 150); do
  [ -s "$pidfile" ] && break
  sleep 0.2
done
[ -s "$pidfile" ] || { echo "COM never started the presentation server"; exit 1; }
echo "presentation server started by COM: Windows process $(server_pid)"

rm -f screenshots/com_browser_qr.png screenshots/com_browser_qr.ready
wine "$tests" --save-qr=com_browser_qr --browser-qr \
  --gtest_filter=Program.SavesTheRunningProgramsQrCode | grep -E "OK|FAILED|Failure" || true
address=$(zbarimg --raw -q screenshots/com_browser_qr.png | head -n 1 || true)
echo "browser remote: ${address:-none}"
[ -n "$address" ] || { echo "FAILED: no browser remote code in the window"; exit 1; }
timeout 120 python3 "$here/presenter_pictures.py" "$address"
