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
# 127.0.0.1 and the program's port 41203 as the direct session spells them.
address="http://127.0.0.1/tavmix/?os=1&sv=0100007fa0f3"

wine "$tests" "$program" --expect-phones --gtest_filter='Program.PairsWith*' &
watcher=$!
trap 'kill $watcher 2>/dev/null || true' EXIT

listening=no
for _ in $(seq 1 150); do
  if ss -ltn | grep -q ':41203 '; then listening=yes; break; fi
  sleep 0.2
done
[ $listening = yes ] || { echo "pivaro.exe never listened on 41203"; exit 1; }
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
