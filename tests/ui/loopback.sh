# Sourced by the window test scripts, which run pivaro.exe and its peers on
# loopback ports that were free a moment ago, never on fixed ones.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

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

# start_broker DIR starts the build machine's Mosquitto on a free port
# (another one if the broker lost it meanwhile), with its files in DIR, and
# sets $broker (its process id) and $uri. The caller kills $broker.
start_broker() {
  local dir=$1 port
  broker=
  for _ in 1 2 3; do
    port=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$dir/mosquitto.conf"
    /usr/sbin/mosquitto -c "$dir/mosquitto.conf" >"$dir/mosquitto.log" 2>&1 &
    broker=$!
    for _ in $(seq 1 50); do
      ss -ltn | grep -q "127.0.0.1:$port " && break
      kill -0 "$broker" 2>/dev/null || break
      sleep 0.1
    done
    ss -ltn | grep -q "127.0.0.1:$port " && break
    kill "$broker" 2>/dev/null || true
    broker=
  done
  [ -n "$broker" ] || { echo "mosquitto did not start"; return 1; }
  uri="tcp://127.0.0.1:$port"
}
