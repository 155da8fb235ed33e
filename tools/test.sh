#!/usr/bin/env bash
# Builds everything and runs every test. Usage: tools/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$dir" -j"$(nproc)"
status=0
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" || status=$?

# ctest names the skipped tests but not why: the reason each one gave is in
# its output, between "file:line: Skipped" and gtest's "[  SKIPPED ]" line,
# or on a script's "SKIPPED: reason" line.
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3; grab = 0; next }
     /^SKIPPED: / && name != "" { reasons[++n] = "  " name ": " substr($0, 10); next }
     /:[0-9]+: Skipped$/ && name != "" { grab = 1; why = ""; next }
     grab && /^\[  SKIPPED \]/ { reasons[++n] = "  " name ": " (why == "" ? "(no reason given)" : why); grab = 0; next }
     grab { why = why (why == "" ? "" : " ") $0 }
     END { if (n) { print "Why they were skipped:"; for (i = 1; i <= n; i++) print reasons[i] } }' \
  "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
exit "$status"
