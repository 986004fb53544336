#!/usr/bin/env bash
# Runs the benchmarks built by the `bench` preset and prints tables of
# ratios, project against reference, each pair measured in the same run.
#
#   bench/run-all.sh [--json-only] [--callgrind] [--reps N]
#
# JSON: every case is repeated (Google Benchmark's random interleaving, so
# the repetitions of project and reference alternate instead of running in
# blocks), and the median CPU time per message is compared; once pinned to
# one CPU and once unpinned. --callgrind adds instruction counts per message
# (callgrind, two runs of N and 2N messages, so set-up cancels out), which
# the noise of a shared machine does not touch.
# Latency benches: run with all threads on one CPU (taskset) and unpinned;
# p50 and p99 of project against its bare reference.
# The load average is printed with the figures: on a busy machine the
# ratios hold better than the absolute times.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BENCH_DIR:-$root/build/bench/bench}
reps=5
json_only=0
callgrind=0
while (($#)); do
  case $1 in
    --json-only) json_only=1 ;;
    --callgrind) callgrind=1 ;;
    --reps) reps=$2; shift ;;
    *) echo "usage: $0 [--json-only] [--callgrind] [--reps N]" >&2; exit 2 ;;
  esac
  shift
done

json=$bin/json/json_bench
if [[ ! -x $json ]]; then
  echo "no $json: cmake --preset bench && cmake --build --preset bench" >&2
  exit 1
fi

last_cpu=$(($(nproc) - 1))
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "Benchmarks of $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?') on $(nproc) CPUs, $(date -u '+%F %T') UTC"
echo "load average at start: $(load)"

# name -> median CPU ns per message, from Google Benchmark's CSV.
# With one repetition there are no aggregates: the single run is taken.
medians() {
  awk -F, -v reps="$reps" 'NR > 1 {
    gsub(/"/, "", $1)
    if ($9 == "true") { print "ERROR", $1, $10; next }
    if ($1 ~ /_median$/) { sub(/_median$/, "", $1); print $1, $4 }
    else if (reps == 1 && $1 !~ /_(mean|stddev|cv)$/) print $1, $4
  }' "$1"
}

# Prints "label  a/b  goal" rows from a "name value" file.
ratio_rows() {
  local file=$1 unit=$2
  shift 2
  awk -v unit="$unit" -v pairs="$*" '
    { v[$1] = $2 }
    END {
      n = split(pairs, s, " ")
      printf "  %-56s %12s %12s %8s  %s\n", "project / reference", "project", "reference", "ratio", "goal"
      for (i = 1; i + 3 <= n; i += 4) {
        a = s[i]; b = s[i + 1]; goal = s[i + 2]; set = s[i + 3]
        gsub(/@/, set, a); gsub(/@/, set, b)
        if (!(a in v) || !(b in v) || v[b] == 0) { printf "  %-56s missing\n", a " / " b; continue }
        r = v[a] / v[b]
        verdict = goal == "-" ? "" : (r <= goal + 0 ? "met (<= " goal ")" : "NOT met (<= " goal ")")
        printf "  %-56s %10.1f%s %10.1f%s %8.2f  %s\n", a " / " b, v[a], unit, v[b], unit, r, verdict
      }
    }' "$file"
}

# The JSON comparisons: numerator, denominator, goal ("-" for context only)
# and the message set that "@" stands for.
json_pairs=""
for set in Laser Mixed; do
  json_pairs+=" ParseRead_@/Pivaro ParseRead_@/RapidJson 1.00 $set"
  json_pairs+=" ParseRead_@/Pivaro ParseRead_@/SimdjsonCopy 3.00 $set"
  json_pairs+=" ParseRead_@/Pivaro ParseRead_@/SimdjsonPadded - $set"
  json_pairs+=" ParseRead_@/Pivaro ParseRead_@/Nlohmann - $set"
  json_pairs+=" Rewrite_@/PivaroUtf16 Rewrite_@/CopyUtf16 4.00 $set"
  json_pairs+=" Rewrite_@/PivaroUtf8 Rewrite_@/CopyUtf8 4.00 $set"
  json_pairs+=" Rewrite_@/RapidJson Rewrite_@/CopyUtf8 - $set"
  json_pairs+=" ToWide_@/Pivaro Rewrite_@/CopyUtf16 - $set"
  json_pairs+=" ToUtf8_@/Pivaro Rewrite_@/CopyUtf8 - $set"
done

run_json() {
  local label=$1
  shift
  "$@" "$json" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
    --benchmark_format=csv >"$tmp/json.csv" 2>/dev/null
  medians "$tmp/json.csv" >"$tmp/json.txt"
  echo
  echo "JSON, $label: median of $reps interleaved repetitions, CPU ns per message (load $(load))"
  if grep -q '^ERROR' "$tmp/json.txt"; then
    grep '^ERROR' "$tmp/json.txt"
    echo "  a case failed its read check: no figures are valid" >&2
    exit 1
  fi
  ratio_rows "$tmp/json.txt" ns $json_pairs
}

run_json "pinned to CPU $last_cpu" taskset -c "$last_cpu"
run_json "unpinned" env

if ((callgrind)); then
  # Instructions per message: (Ir(2N) - Ir(N)) / N for the case's own
  # function, named like the case without its message set.
  n=2000
  : >"$tmp/ir.txt"
  for case in $(awk '{print $1}' "$tmp/json.txt" | grep -v '^ERROR'); do
    fn="${case%%_*}_${case##*/}"
    ir() {
      valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*${fn}(*" \
        "$json" --fixed_iterations="$1" --benchmark_filter="^${case}(/|\$)" 2>&1 |
        awk '/Collected/ { gsub(",", "", $4); print $4 }'
    }
    a=$(ir $n)
    b=$(ir $((2 * n)))
    echo "$case $(((b - a) / n))" >>"$tmp/ir.txt"
  done
  echo
  echo "JSON, callgrind: instructions per message (not time: vector instructions do more each)"
  ratio_rows "$tmp/ir.txt" "" $json_pairs
fi

((json_only)) && exit 0

# Latency benches: "name p50 p99" rows from the CSV's median/p99 counters.
latency() {
  awk -F, 'NR == 1 {
      for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }
      next
    }
    {
      gsub(/"/, "", $1)
      gsub(/\/(iterations:[0-9]+|real_time|manual_time)/, "", $1)
      if ($9 == "true") { print "ERROR", $1, $10; next }
      p50 = ("median_us" in col) ? $col["median_us"] : $col["p50_ms"] * 1000
      p99 = ("p99_us" in col) ? $col["p99_us"] : $col["p99_ms"] * 1000
      print $1, p50, p99
      # Benches that interleave their bare reference report it beside.
      if ("bare_median_us" in col) print $1 ":bare", $col["bare_median_us"], $col["bare_p99_us"]
    }' "$1"
}

# Prints ratio rows for "project reference" pairs at p50 and p99.
latency_rows() {
  local file=$1
  shift
  awk -v pairs="$*" '
    { p50[$1] = $2; p99[$1] = $3 }
    END {
      n = split(pairs, s, " ")
      printf "  %-62s %9s %9s %7s %7s\n", "project / reference", "p50 us", "p99 us", "p50 x", "p99 x"
      for (i = 1; i + 1 <= n; i += 2) {
        a = s[i]; b = s[i + 1]
        if (!(a in p50) || !(b in p50) || p50[b] == 0 || p99[b] == 0) {
          printf "  %-62s not run here\n", a " / " b; continue
        }
        printf "  %-62s %9.1f %9.1f %7.2f %7.2f\n", a, p50[a], p99[a], p50[a] / p50[b], p99[a] / p99[b]
        printf "  %-62s %9.1f %9.1f\n", "  vs " b, p50[b], p99[b]
      }
    }' "$file"
}

# Google Benchmark's CSV needs the same counters in every row: benches
# whose cases differ in counters are run for the compared cases only.
run_latency() {
  local name=$1 pairs=$2 filter=${3:-.} one_cpu_filter=${4:-${3:-.}}
  local exe
  exe=$(find "$bin" -name "$name" -type f -perm -u+x | head -1)
  if [[ -z $exe ]]; then
    echo
    echo "$name: not built, skipped"
    return
  fi
  for mode in "one CPU" unpinned; do
    local prefix=(env) mode_filter=$filter
    if [[ $mode == "one CPU" ]]; then
      prefix=(taskset -c "$last_cpu")
      mode_filter=$one_cpu_filter
    fi
    if ! "${prefix[@]}" "$exe" --benchmark_filter="$mode_filter" --benchmark_format=csv \
      >"$tmp/lat.csv" 2>/dev/null; then
      echo "$name ($mode): failed" >&2
      continue
    fi
    latency "$tmp/lat.csv" >"$tmp/lat.txt"
    echo
    echo "$name, $mode (load $(load))"
    grep '^ERROR' "$tmp/lat.txt" || true
    latency_rows "$tmp/lat.txt" $pairs
  done
}

# Session against a bare Asio echo, samples interleaved, echoes checked.
# Unpinned, the scheduler puts one of the two servers beside the phone and
# the other on the second CPU for the whole run, so the Split cases (both
# servers on one CPU, the phone on another) are the like-for-like figures
# across CPUs; they need two CPUs and are left out of the one-CPU run.
run_latency direct_session_bench \
  "BM_TcpRoundTrip BM_TcpRoundTrip:bare BM_UdpRoundTrip BM_UdpRoundTrip:bare \
   BM_TcpRoundTripSplit BM_TcpRoundTripSplit:bare BM_UdpRoundTripSplit BM_UdpRoundTripSplit:bare" \
  . -Split
# One way against one way (the TCP reference also posting its write to a
# sender thread, as the phone simulator does), round trip against round
# trip.
run_latency e2e_bench \
  "BM_DirectCommandToAutomation BM_BareTcpOneWayPosted BM_DirectCommandToAutomation BM_BareTcpOneWay \
   BM_RelayCommandToAutomation BM_BarePahoOneWay \
   BM_DirectCommandToStateAnswer BM_BareTcpEcho BM_RelayCommandToStateAnswer BM_BarePahoRoundTrip"
# Phone publish to OnMessage against the bare Paho hop interleaved with it
# (same topic layout, same payload, each QoS 2 exchange completed).
mqtt_pairs=""
for args in "1/1/1" "0/0/0"; do
  a="pc_nodelay:${args%%/*}/phone_nodelay:$(cut -d/ -f2 <<<"$args")/broker_nodelay:${args##*/}"
  mqtt_pairs+=" BM_PhoneToOnMessage/$a BM_PhoneToOnMessage/$a:bare"
done
run_latency mqtt_session_bench "$mqtt_pairs" '^BM_PhoneToOnMessage/'

echo
echo "load average at end: $(load)"
