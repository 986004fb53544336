#!/usr/bin/env bash
# Idle cost of the terminal client: runs pivaro full screen in a tmux
# terminal beside a local Mosquitto, waits until it shows its QR code, then
# measures SECONDS (default 60) of doing nothing: CPU time of all its
# threads (from /proc/<pid>/task/*/schedstat, nanoseconds) as a share of one
# core, and how often the main thread woke up (its context switches).
# Usage: bench/idle_cpu.sh [build dir] [seconds]
set -euo pipefail
build=${1:-build/native}
seconds=${2:-60}
program="$PWD/$build/ui/pivaro"
[ -x "$program" ] || { echo "no $program (build the pivaro target first)" >&2; exit 1; }

work=$(mktemp -d /tmp/pivaro-idle-XXXXXX)
sock="$work/tmux.sock"
cleanup() {
  tmux -S "$sock" kill-server 2>/dev/null || true
  [ -n "${broker:-}" ] && kill "$broker" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "$0")/../tools/broker.sh"
start_broker "$work"
lan=$(free_port)

tmux -S "$sock" -f /dev/null new-session -d -x 120 -y 50 \
  "env XDG_RUNTIME_DIR=$work PIVARO_RELAY_URI=$uri PIVARO_DIRECT_PORT=$lan $program"
for _ in $(seq 100); do
  tmux -S "$sock" capture-pane -p | grep -q "broker reached" && break
  sleep 0.1
done
tmux -S "$sock" capture-pane -p | grep -q "broker reached" || { echo "pivaro did not start" >&2; exit 1; }
pid=$(pgrep -f -n "^$program") || { echo "pivaro not found" >&2; exit 1; }
sleep 2  # let start-up reports and the first session traffic settle

cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{s += $1} END {printf "%d", s}'; }
wakeups() { awk '/ctxt_switches/ {s += $2} END {print s}' /proc/"$pid"/task/"$pid"/status; }

cpu0=$(cpu_ns); wake0=$(wakeups); t0=$(date +%s.%N)
sleep "$seconds"
cpu1=$(cpu_ns); wake1=$(wakeups); t1=$(date +%s.%N)

threads=$(ls /proc/"$pid"/task | wc -l)
awk -v c="$((cpu1 - cpu0))" -v w="$((wake1 - wake0))" -v t0="$t0" -v t1="$t1" -v n="$threads" \
  -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
    wall = t1 - t0
    printf "idle %.1f s, %d threads: CPU %.3f ms = %.4f%% of a core; main thread woke %d times (load %s)\n",
           wall, n, c / 1e6, 100 * c / 1e9 / wall, w, load
  }'
