#!/usr/bin/env bash
# pivaro.exe under Wine drives the simulated presentation application in a
# COM local server of its own (pivaro_presentation_server.exe, registered in
# the Wine prefix as "PowerPoint.Application"), while the phone simulator of
# the native build pairs over the direct session and runs a show: start,
# next with notes, laser, pen, erase, stop. Then, in a second show, the
# server is ended as a crash would end it, and the phone's next command is
# answered with "no presentation".
# Usage: com_program_show.sh <pivaro.exe> <pivaro_presentation_server.exe> <pivaro-phone>
set -euo pipefail
program=$1 server=$2 phone=$3
if [ ! -x "$phone" ]; then
  echo "phone simulator not built ($phone): build the native preset first"
  exit 77
fi
# 127.0.0.1 and the program's port 41203 as the direct session spells them.
address="http://127.0.0.1/tavmix/?os=1&sv=0100007fa0f3"
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
wine "$program" &
pc=$!

listening=no
for _ in $(seq 1 150); do
  if ss -ltn | grep -q ':41203 '; then listening=yes; break; fi
  sleep 0.2
done
[ $listening = yes ] || { echo "pivaro.exe never listened on 41203"; exit 1; }
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

# A whole show. state = appFound + 2 x showRunning.
# Each command is one argument.
show=$(timeout 60 "$phone" "$address" --direct --host 127.0.0.1 --note --wait 1500 \
  state "sleep 500" start "sleep 800" next "sleep 800" \
  "laser_down 0.5 0.5" "laser_move 0.6 0.6" laser_up \
  "pen_down 0.3 0.3" "pen_move 0.4 0.4" pen_up erase "sleep 300" \
  stop "sleep 800" state)
echo "$show"
expect "presentation found before the show" '"state":1' "$show"
expect "show running after start" '"state":3' "$show"
expect "notes of slide 1" 'Welcome everyone.' "$show"
expect "notes of slide 2 after next" 'Agenda: where we are, where we go.' "$show"
last=$(grep '"msg":"state"' <<<"$show" | tail -1)
expect "no show after stop" '"state":1' "$last"

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

# pivaro.exe is still there and answers.
after=$(timeout 60 "$phone" "$address" --direct --host 127.0.0.1 --wait 1500 state)
expect "pivaro.exe answers after the crash" '"state":0' "$after"
kill -0 "$pc" || { echo "FAILED: pivaro.exe ended"; failed=1; }
exit $failed
