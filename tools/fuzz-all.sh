#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang, ASan + UBSan) and runs
# each one over its seed corpus in tests/fuzz/<name>_corpus, then on new
# inputs for FUZZ_SECONDS seconds (20 unless set). A crash, a sanitizer
# report or a broken property fails the run; the input that did it is kept
# in build/fuzz/artifacts/. New inputs go to a scratch folder, so the seed
# corpora in the repository stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
# The preset lets UBSan recover; here any report must end the run.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
names=()
for corpus in tests/fuzz/*_corpus; do names+=("$(basename "$corpus" _corpus)"); done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${names[@]/%/_fuzz}"
mkdir -p build/fuzz/artifacts
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

for name in "${names[@]}"; do
  target="build/fuzz/tests/fuzz/${name}_fuzz"
  mkdir -p "$scratch/$name"
  echo "== fuzz $name (${seconds} s)"
  status=0
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/${name}-" "$scratch/$name" "tests/fuzz/${name}_corpus" \
    >"$scratch/$name.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|INFO: seed corpus)' "$scratch/$name.log" || true
  if [ "$status" != 0 ]; then
    grep -E -A30 '^==[0-9]+==' "$scratch/$name.log" | head -60 >&2 || true
    echo "fuzz $name failed; reproduce with: $target build/fuzz/artifacts/${name}-*" >&2
    exit 1
  fi
done
