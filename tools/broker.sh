# Sourced by every script that needs a Mosquitto broker on loopback: the
# window tests, the idle benchmark and tools/run.sh. Each function leaves the
# broker's process id in $broker and its address in $uri; the caller kills
# $broker when it is done.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# True once something accepts TCP connections on 127.0.0.1:PORT.
port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# start_broker_with CONF PORT LOG: runs Mosquitto with CONF and waits up to
# 5 s for it to listen on PORT; fails (with $broker empty) when it exits or
# never listens.
start_broker_with() {
  local conf=$1 port=$2 log=$3
  mosquitto_program=${mosquitto_program:-$(command -v mosquitto || echo /usr/sbin/mosquitto)}
  "$mosquitto_program" -c "$conf" >"$log" 2>&1 &
  broker=$!
  for _ in $(seq 1 50); do
    port_answers "$port" && { uri="tcp://127.0.0.1:$port"; return 0; }
    kill -0 "$broker" 2>/dev/null || break
    sleep 0.1
  done
  kill "$broker" 2>/dev/null || true
  broker=
  return 1
}

# start_broker DIR: a broker of its own on a port that was free a moment ago
# (another one if the port was taken meanwhile), with its files in DIR.
start_broker() {
  local dir=$1 port
  for _ in 1 2 3; do
    port=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$dir/mosquitto.conf"
    start_broker_with "$dir/mosquitto.conf" "$port" "$dir/mosquitto.log" && return 0
  done
  echo "mosquitto did not start (see $dir/mosquitto.log)" >&2
  return 1
}
