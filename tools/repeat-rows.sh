#!/usr/bin/env bash
# Plays rows of the fault table again and again and counts the runs that failed: how often a
# timing-sensitive row fails is a figure, not a guess from one run.
#
#   repeat-rows.sh ROWS N [BUILD_DIR]
#
# ROWS is a pattern of row names (Python regular expression, as PELLARIN_FAULT_ROWS takes it),
# N the number of runs, BUILD_DIR the build to test (default build/i686). Each run is one
# tests/e2e/test_faults.py with a relay of its own; the log of a failed run is kept in
# BUILD_DIR/repeat-rows/ and its failing rows are printed. Ends with the line
# "repeat-rows: F of N runs failed" and exits 1 when F is not 0. Runs under a display and the
# pty pairs (it wraps itself when they are missing, so all runs share one set of pairs).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -ge 2 ] || { echo "usage: repeat-rows.sh ROWS N [BUILD_DIR]" >&2; exit 2; }
rows="$1"
runs="$2"
build="$(cd "${3:-$here/../build/i686}" && pwd)" || exit 2

if [ -z "${DISPLAY:-}" ] || [ -z "${PELLARIN_TERM_COM1:-}" ]; then
  exec bash "$here/with-display.sh" bash "$here/with-ptys.sh" bash "$0" "$rows" "$runs" "$build"
fi

logs="$build/repeat-rows"
mkdir -p "$logs"
failed=0
for i in $(seq "$runs"); do
  log="$logs/run-$i.log"
  started=$SECONDS
  if PELLARIN_FAULT_ROWS="$rows" python3 "$here/../tests/e2e/test_faults.py" \
      --build-dir "$build" >"$log" 2>&1; then
    echo "repeat-rows: run $i of $runs passed ($((SECONDS - started)) s)"
    rm -f "$log"
  else
    failed=$((failed + 1))
    echo "repeat-rows: run $i of $runs FAILED ($((SECONDS - started)) s), log $log"
    grep -E "^(FAIL|ERROR):|Error: " "$log" | sed 's/^/    /' | head -6
  fi
done
echo "repeat-rows: $failed of $runs runs failed (rows: $rows)"
[ "$failed" -eq 0 ]
