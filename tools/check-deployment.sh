#!/usr/bin/env bash
# The release build's check of its deployment settings, case by case: which
# sets of the four settings it accepts and which it refuses.
set -uo pipefail
check="$(dirname "$0")/../cmake/deployment.cmake"
good=(relay.example.com update.example.com report.example.com https://www.example.com/)
failures=0
# expect relay update report website
while IFS='|' read -r expect relay update report website; do
  [ -z "$expect" ] && continue
  if cmake -DPIVARO_RELAY_HOST="$relay" -DPIVARO_UPDATE_HOST="$update" \
    -DPIVARO_REPORT_HOST="$report" -DPIVARO_WEBSITE_URL="$website" -P "$check" >/dev/null 2>&1; then
    got=accept
  else
    got=refuse
  fi
  if [ "$got" != "$expect" ]; then
    echo "expected $expect, got $got: $relay | $update | $report | $website"
    failures=$((failures + 1))
  fi
done <<EOT
accept|${good[0]}|${good[1]}|${good[2]}|${good[3]}
accept|10.1.2.3|update.example.com:8080|report.example.com|https://example.com
accept|relay127.example.com|update.example.com|report.example.com|https://www.example.com/
refuse||${good[1]}|${good[2]}|${good[3]}
refuse|${good[0]}||${good[2]}|${good[3]}
refuse|${good[0]}|${good[1]}||${good[3]}
refuse|${good[0]}|${good[1]}|${good[2]}|
refuse|127.0.0.1|${good[1]}|${good[2]}|${good[3]}
refuse|${good[0]}|localhost:8080|${good[2]}|${good[3]}
refuse|${good[0]}|${good[1]}|[::1]|${good[3]}
refuse|${good[0]}|${good[1]}|${good[2]}|http://127.0.0.1:8000/
refuse|relay.pivaro.invalid|${good[1]}|${good[2]}|${good[3]}
refuse|${good[0]}|${good[1]}|${good[2]}|https://www.pivaro.invalid/
refuse|${good[0]}|${good[1]}|REPORT.PIVARO.INVALID|${good[3]}
EOT
[ "$failures" = 0 ] && echo "deployment settings: every case as expected"
exit $((failures > 0))
