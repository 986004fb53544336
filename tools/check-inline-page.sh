#!/usr/bin/env bash
# The step that puts a page and its style and scripts together
# (cmake/inline_page.cmake), case by case: what it makes of the forms it
# knows, byte for byte, and which pages it refuses, leaving nothing behind.
set -uo pipefail
step="$(cd "$(dirname "$0")/.." && pwd)/cmake/inline_page.cmake"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# Parts every case can name. Their texts hold what CMake treats specially
# (semicolons, brackets, backslashes, ${...}), text beyond ASCII and no final
# newline, all of which must come through unchanged, and a CRLF, which comes
# out as LF (CMake reads text so).
printf ':root { --a: 1; }\n[hidden] { x: "\\\\" }\n' >"$work/look.css"
printf "const a = ['x;y', \"\${b}\"];\r\nconst z = '\xe7\x94\xb5\xe8\x84\x91';" >"$work/one.js"
printf '%s\n' "'use strict';" >"$work/two.js"
printf 'a = "<\x2fSCRIPT>";\n' >"$work/closes_script.js"
printf 'p { content: "</style>"; }\n' >"$work/closes_style.css"

# expect|page (printf format)|what the assembled page must be (printf format)
while IFS='|' read -r expect page want; do
  [ -z "$expect" ] && continue
  rm -f "$work/page.html" "$work/out/page.html"
  # shellcheck disable=SC2059  # the table's columns are printf formats
  printf "$page" >"$work/page.html"
  if cmake -DINPUT="$work/page.html" -DOUTPUT="$work/out/page.html" -P "$step" >/dev/null 2>&1; then
    got=accept
  else
    got=refuse
  fi
  problem=""
  if [ "$got" != "$expect" ]; then
    problem="expected $expect, got $got"
  elif [ "$got" = accept ]; then
    # shellcheck disable=SC2059
    printf "$want" >"$work/want.html"
    cmp -s "$work/want.html" "$work/out/page.html" || problem="not the expected bytes"
  elif [ -e "$work/out/page.html" ]; then
    problem="refused, but wrote a page"
  fi
  if [ -n "$problem" ]; then
    echo "$problem: $page"
    failures=$((failures + 1))
  fi
done <<'EOT'
accept|<head>\n<link rel="stylesheet" href="look.css">\n</head>\n<script src="one.js"></script>\n<script src="two.js"></script>\n|<head>\n<style>\n:root { --a: 1; }\n[hidden] { x: "\\\\" }\n</style>\n</head>\n<script>\nconst a = ['x;y', "${b}"];\nconst z = '\xe7\x94\xb5\xe8\x84\x91';</script>\n<script>\n'use strict';\n</script>\n
accept|<link rel="icon" href="data:,"><p>no parts; no newline at the end</p>|<link rel="icon" href="data:,"><p>no parts; no newline at the end</p>
accept|<script src="two.js"></script><script src="two.js"></script>|<script>\n'use strict';\n</script><script>\n'use strict';\n</script>
refuse|<script src="missing.js"></script>|
refuse|<link rel="stylesheet" href="missing.css">|
refuse|<script src="one.js"></script>\n<script src="closes_script.js"></script>|
refuse|<link rel="stylesheet" href="closes_style.css">|
refuse|<script src="../one.js"></script>|
refuse|<script src="one.js"></script>\n<script defer src="two.js"></script>|
refuse|<link href="look.css" rel="stylesheet">|
refuse|<SCRIPT SRC="one.js"></SCRIPT>|
EOT
[ "$failures" = 0 ] && echo "inline page: every case as expected"
exit $((failures > 0))
