#!/usr/bin/env bash
# Runs the client in this terminal: installs what is missing, starts a local
# relay broker unless PIVARO_RELAY_URI names one, builds, and starts pivaro.
# Pair a simulated phone from a second terminal with the address it shows:
#   ./build/native/tools/pivaro-phone "<pairing address>" --direct
#   PIVARO_RELAY_URI=tcp://127.0.0.1:18830 ./build/native/tools/pivaro-phone "<pairing address>"
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target pivaro pivaro-phone

source tools/broker.sh
broker=""
cleanup() {
  if [ -n "$broker" ]; then kill "$broker" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "${PIVARO_RELAY_URI:-}" ]; then
  port=18830
  if port_answers "$port"; then
    echo "Using the broker already listening on 127.0.0.1:$port"
  elif ! start_broker_with tools/mosquitto.conf "$port" /tmp/pivaro-mosquitto.log; then
    echo "mosquitto did not start (see /tmp/pivaro-mosquitto.log)" >&2
    exit 1
  fi
  export PIVARO_RELAY_URI="tcp://127.0.0.1:$port"
fi

./build/native/ui/pivaro "$@"
