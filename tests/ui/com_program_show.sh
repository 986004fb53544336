#!/usr/bin/env bash
# pivaro.exe under Wine drives the simulated presentation application in a
# COM local server of its own (pivaro_presentation_server.exe, registered in
# the Wine prefix as "PowerPoint.Application"), while the phone simulator of
# the native build pairs over the direct session and runs a show: start,
# next with notes, laser, pen, erase, stop. A second phone runs a show over
# the relay (a Mosquitto started here), paired through the QR code read off
# the window by the Windows test program. Then, in a last show, the server
# is ended as a crash would end it, the phone's next command is answered
# with "no presentation"; the server is started again, and a show runs on
# the application pivaro.exe creates anew.
# Usage: com_program_show.sh <pivaro.exe> <pivaro_presentation_server.exe> <pivaro-phone>
#                            [<ui_program_tests.exe>, to read the QR code: a program with the relay]
set -euo pipefail
program=$1 server=$2 phone=$3 tests=${4:-}
for need in "$phone" ${tests:+/usr/sbin/mosquitto "$(command -v zbarimg || true)"}; do
  if [ -z "$need" ] || [ ! -x "$need" ]; then
    echo "missing ${need:-zbarimg} (native preset, mosquitto, zbar-tools)"
    exit 77
  fi
done
source "$(dirname "$0")/loopback.sh"
port=$(free_port)
address=$(direct_address "$port")
work=$(mktemp -d)
pidfile=$work/server.pid
winpidfile="Z:${pidfile//\//\\}"
# What the server's show window receives (tests/support/win32/show_window.h).
logfile=$work/show.log
winlogfile="Z:${logfile//\//\\}"
pc=""
broker=""

server_pid() { tr -d '\r\n' <"$pidfile"; }
cleanup() {
  if [ -n "$pc" ]; then kill "$pc" 2>/dev/null || true; wait "$pc" 2>/dev/null || true; fi
  if [ -s "$pidfile" ]; then wine taskkill /F /PID "$(server_pid)" >/dev/null 2>&1 || true; fi
  wine "$server" --unregister=PowerPoint.Application || true
  [ -n "$broker" ] && kill "$broker" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wine "$server" --register=PowerPoint.Application --kind=powerpoint --version=16.0 \
  "--pid-file=$winpidfile" "--log-file=$winlogfile"
uri=""
[ -z "$tests" ] || start_broker "$work"
env PIVARO_DIRECT_PORT="$port" ${uri:+PIVARO_RELAY_URI=$uri} wine "$program" &
pc=$!

wait_listening "$port"
# pivaro.exe's presentation manager creates the application at start-up,
# which makes COM start the server.
for _ in $(seq 1 150); do
  [ -s "$pidfile" ] && break
  sleep 0.2
done
[ -s "$pidfile" ] || { echo "COM never started the presentation server"; exit 1; }
echo "presentation server started by COM: Windows process $(server_pid)"

expect() {  # expect <what> <pattern> <output>
  if grep -q -- "$2" <<<"$3"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
failed=0

# Under Wine on Xvfb the server's View.Exit returns about 2 s after it was
# called (the show-end event comes 2.0 s after ExitShow in ComShowTest; the
# show window is being taken down meanwhile), and pivaro.exe's worker waits
# in that call: the state after "stop" is asked for once it is over.
after_stop=3000

# A whole show. state = appFound + 2 x showRunning.
# Each command is one argument.
show=$(timeout 60 "$phone" "$address" --direct --host 127.0.0.1 --note --wait 1500 \
  state "sleep 500" start "sleep 800" next "sleep 800" \
  "laser_down 0.5 0.5" "laser_move 0.6 0.6" laser_up \
  "pen_down 0.3 0.3" "pen_move 0.4 0.4" pen_up erase "sleep 300" \
  stop "sleep $after_stop" state)
echo "$show"
expect "presentation found before the show" '"state":1' "$show"
expect "show running after start" '"state":3' "$show"
expect "notes of slide 1" 'Welcome everyone.' "$show"
expect "notes of slide 2 after next" 'Agenda: where we are, where we go.' "$show"
last=$(grep '"msg":"state"' <<<"$show" | tail -1)
expect "no show after stop" '"state":1' "$last"

# The pointer input reached the show window where the phone pointed: the
# 4:3 slide centred in the full-screen window.
log=$(tr -d '\r' <"$logfile")
echo "$log"
left=0 top=0 right=0 bottom=0
read -r left top right bottom < <(awk '/^window/ {print $2, $3, $4, $5; exit}' <<<"$log") || true
if ! [[ "$left $top $right $bottom" =~ ^[0-9]+\ [0-9]+\ [0-9]+\ [0-9]+$ ]]; then
  echo "FAILED: no show window logged"
  failed=1 left=0 top=0 right=0 bottom=0
fi
near() {  # near <fraction x> <fraction y> <logged x> <logged y>
  awk -v fx="$1" -v fy="$2" -v x="$3" -v y="$4" -v w=$((right - left)) -v h=$((bottom - top)) '
    BEGIN {
      sw = w; sh = h; sl = 0; st = 0
      if (h * 720 < w * 540) { sw = int(h * 720 / 540); sl = int((w - sw) / 2) }
      else { sh = int(w * 540 / 720); st = int((h - sh) / 2) }
      ex = sw * fx + sl; ey = sh * fy + st
      exit !((x - ex) ^ 2 <= 9 && (y - ey) ^ 2 <= 9)
    }'
}
mapfile -t presses < <(grep '^press' <<<"$log")
if [ ${#presses[@]} -ge 2 ] &&
  near 0.5 0.5 $(cut -d' ' -f2,3 <<<"${presses[0]}") &&
  near 0.3 0.3 $(cut -d' ' -f2,3 <<<"${presses[1]}"); then
  echo "ok: laser and pen pressed where the phone pointed"
else
  echo "FAILED: laser and pen presses: ${presses[*]:-none}"; failed=1
fi
expect "the laser holds Ctrl" 'ctrl=1' "${presses[0]:-}"
expect "the pen does not" 'ctrl=0' "${presses[1]:-}"
expect "the pen pointer while the pen is down" '^pointer 2' "$log"
expect "strokes are dragged" '^drag' "$log"
expect "erase presses E" '^key 69' "$log"
expect "the show window closes at stop" '^closed' "$log"

if [ -n "$tests" ]; then
  # The same show over the relay, paired through the QR code's address.
  rm -f screenshots/com_qr.png screenshots/com_qr.ready
  wine "$tests" --save-qr=com_qr --gtest_filter=Program.SavesTheRunningProgramsQrCode | grep -E "OK|FAILED|Failure" || true
  relay=$(zbarimg --raw -q screenshots/com_qr.png | head -n 1 || true)
  echo "QR code: $relay"
  show=$(timeout 60 "$phone" "$relay" --relay --broker "$uri" --note --wait 1500 \
    state "sleep 500" start "sleep 800" next "sleep 800" "laser_down 0.5 0.5" laser_up \
    stop "sleep $after_stop" state)
  echo "$show"
  expect "relay: show running after start" '"state":3' "$show"
  expect "relay: notes of slide 2 after next" 'Agenda: where we are, where we go.' "$show"
  last=$(grep '"msg":"state"' <<<"$show" | tail -1)
  expect "relay: no show after stop" '"state":1' "$last"
else
  echo "skipped: the show over the relay (a program without the relay)"
fi

# The server dies in the middle of the next show.
crash=$({
  echo start
  sleep 2
  wine taskkill /F /PID "$(server_pid)" >&2
  sleep 1
  echo next
  sleep 2
} | timeout 60 "$phone" "$address" --direct --host 127.0.0.1 --wait 2000)
echo "$crash"
expect "show running before the crash" '"state":3' "$crash"
last=$(grep '"msg":"state"' <<<"$crash" | tail -1)
expect "no presentation after the crash" '"state":0' "$last"

# pivaro.exe is still there and answers. The presenter starts the
# application again: the server is registered anew, and COM starts it when
# pivaro.exe creates the application it dropped again, at a state query or
# command 2 s or more after its last attempt. (Anew, under a fresh class id:
# Wine's COM keeps the dead server's class object registered and answers
# every activation of that class with "server unavailable", where Windows
# would start the server again.) The phone's next "start" runs a show on it.
old_server=$(server_pid)
: >"$pidfile"
again=$({
  echo state
  sleep 1
  wine "$server" --register=PowerPoint.Application --kind=powerpoint --version=16.0 \
    "--pid-file=$winpidfile" "--log-file=$winlogfile" >&2
  sleep 2.5
  echo start
  sleep 2
  echo state
  echo stop
  sleep 1
} | timeout 60 "$phone" "$address" --direct --host 127.0.0.1 --wait 2000)
echo "$again"
expect "pivaro.exe answers after the crash" '"msg":"state"' "$again"
expect "a show runs on the application created again" '"state":3' "$again"
if [ -s "$pidfile" ] && [ "$(server_pid)" != "$old_server" ]; then
  echo "ok: COM started the server again: Windows process $(server_pid)"
else
  echo "FAILED: the server was not started again"; failed=1
fi
kill -0 "$pc" || { echo "FAILED: pivaro.exe ended"; failed=1; }
exit $failed
