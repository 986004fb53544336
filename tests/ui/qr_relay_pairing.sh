#!/usr/bin/env bash
# pivaro.exe under Wine shows its QR code; the code, read from a screenshot
# with zbarimg, is the pairing address, and the phone simulator of the
# native build pairs through the relay parameters it holds, over a Mosquitto
# broker started here on a free loopback port (pivaro.exe is pointed at it
# with PIVARO_RELAY_URI). The Windows test program beside them checks that
# the window turns to the connected view.
# Usage: qr_relay_pairing.sh <ui_program_tests.exe> <pivaro.exe> <pivaro-phone>
set -euo pipefail
tests=$1 program=$2 phone=$3
for need in "$phone" /usr/sbin/mosquitto "$(command -v zbarimg || true)"; do
  if [ -z "$need" ] || [ ! -x "$need" ]; then
    echo "missing ${need:-zbarimg} (native preset, mosquitto, zbar-tools)"
    exit 77
  fi
done

dir=$(mktemp -d /tmp/pivaro-qr-relay-XXXXXX)
broker=
watcher=
cleanup() {
  # Killing the Wine launcher would leave the Windows process holding the
  # test's output; the test program ends by itself within its own bounds.
  [ -n "$watcher" ] && wait "$watcher" 2>/dev/null || true
  [ -n "$broker" ] && kill "$broker" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

source "$(dirname "$0")/loopback.sh"
start_broker "$dir"

rm -f screenshots/program_qr*.png screenshots/program_qr*.ready
PIVARO_DIRECT_PORT=0 PIVARO_RELAY_URI=$uri wine "$tests" "$program" --expect-relay-phone \
  --gtest_filter='Program.ShowsAQrCodeThatPairsOverTheRelay' &
watcher=$!

# Reads the address from screenshots/$1.png once the test program has
# written it, checks it is a pairing address, and pairs a phone over the
# relay with it ("next", then "bye").
pair() {
  for _ in $(seq 1 300); do
    [ -f "screenshots/$1.ready" ] && break
    kill -0 "$watcher" 2>/dev/null || break
    sleep 0.2
  done
  [ -f "screenshots/$1.ready" ] || { echo "no QR code screenshot $1"; return 1; }
  address=$(zbarimg --raw -q "screenshots/$1.png" | head -n 1)
  echo "QR code: $address"
  # The relay's parameters first (the relay is the primary session), then
  # the direct session's.
  if ! grep -Eq '\?os=1&id=[0-9a-f]{32}&st=[0-9]+_[0-9]+&sv=[0-9a-f]{12}$' <<<"$address"; then
    echo "the QR code is not a pairing address"
    return 1
  fi
  start=$(date +%s%N)
  out=$(timeout 60 "$phone" "$address" --relay --broker "$uri" --wait 3000 next)
  echo "relay phone ($(( ($(date +%s%N) - start) / 1000000 )) ms with connect): $out"
  grep -q '"msg":"state"' <<<"$out" || { echo "relay: no state answer"; return 1; }
}

pair program_qr
# After the phone's "bye" the window waits for a phone again, and the next
# one pairs over the same relay session.
pair program_qr2

wait "$watcher"
watcher=
