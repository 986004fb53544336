# Sourced by the window test scripts: start_broker DIR starts the build
# machine's Mosquitto on a port of 127.0.0.1 that was free a moment ago
# (another one if the broker lost it meanwhile), with its files in DIR, and
# sets $broker (its process id) and $uri. The caller kills $broker.
start_broker() {
  local dir=$1 port
  broker=
  for _ in 1 2 3; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
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
