#!/usr/bin/env bash
# pivaro.exe under Wine and the phone simulator of the native build pair
# over the direct session on loopback, first over TCP, then over UDP. The
# phones check the PC's answers; the Windows test program beside them checks
# that the window shows the connected view each time.
# Usage: phone_pairing.sh <ui_program_tests.exe> <pivaro.exe> <pivaro-phone>
set -euo pipefail
tests=$1 program=$2 phone=$3
if [ ! -x "$phone" ]; then
  echo "phone simulator not built ($phone): build the native preset first"
  exit 77
fi
source "$(dirname "$0")/loopback.sh"
port=$(free_port)
address=$(direct_address "$port")

# The test program starts pivaro.exe, which takes the port from it.
PIVARO_DIRECT_PORT=$port wine "$tests" "$program" --expect-phones \
  --gtest_filter='Program.PairsWith*' &
watcher=$!
trap 'kill $watcher 2>/dev/null || true' EXIT

wait_listening "$port"
sleep 1

for transport in tcp udp; do
  flags=(--direct --host 127.0.0.1)
  [ $transport = udp ] && flags+=(--udp)
  out=$(timeout 60 "$phone" "$address" "${flags[@]}" --wait 2000 next)
  echo "$transport phone: $out"
  grep -q '"msg":"state"' <<<"$out" || { echo "$transport: no state answer"; exit 1; }
  sleep 2
done

wait $watcher
trap - EXIT
