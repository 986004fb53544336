# Sourced by the window test scripts, which run pivaro.exe and its peers on
# loopback ports that were free a moment ago, never on fixed ones.

source "$(dirname "${BASH_SOURCE[0]}")/../../tools/broker.sh"

# The direct session's pairing address for 127.0.0.1 and PORT, spelled as
# the program spells it: the address's bytes, then the port, in hex.
direct_address() {
  printf 'http://127.0.0.1/tavmix/?os=1&sv=0100007f%04x\n' "$1"
}

# Waits up to 30 s for a TCP listener on PORT (pivaro.exe listens on all
# addresses, for phones on the LAN).
wait_listening() {
  for _ in $(seq 1 150); do
    ss -ltn | grep -q ":$1 " && return 0
    sleep 0.2
  done
  echo "nothing listened on port $1"
  return 1
}
