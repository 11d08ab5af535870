#!/usr/bin/env bash
# Prints the transaction-log window's figures (tools/log_bench.cpp): records per second at
# levels 0, 5 and 99 with the window shown, hidden and scrolled up, each with the working set
# before, at its highest and after; the same at level 99 through FLOOD_RECORDS (10,000)
# 4096-byte blocks, where the text's and the queue's bounds show; the peak working set after
# 100,000 records; cout lines per second while the UI thread is busy; answer times to a sent
# message and the time to show a question box while a producer streams at level 99.
# Usage: log_bench.sh BUILD_DIR (a cross build with the log_bench target built). Each figure
# comes from a process of its own inside a Wine desktop (no window manager delays there).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
exe="$1/tools/log_bench.exe"
source "$root/tools/wine-env.sh"
run() {
  bash "$root/tools/wine-run.sh" explorer /desktop=pellarin-bench,1024x768 \
    "$(winepath -w "$exe")" "$@" 2>/dev/null | tr -d '\r'
}
# Shown and following the end, every record is inserted and painted on its own; hidden or
# scrolled up, insertions come in batches: the counts differ so that each run takes seconds.
for level in 0 5 99; do
  for mode in hidden shown scrolled; do
    case "$level/$mode" in
      99/shown) n=200 ;;
      */shown) n=300 ;;
      99/*) n=1000 ;;
      *) n=5000 ;;
    esac
    run rate "$level" "$mode" "$n"
  done
done
for mode in hidden shown scrolled; do
  run rate 99 "$mode" "${FLOOD_RECORDS:-10000}"
done
run peak 5 100000
run peak 0 100000
run peak 99 ${PEAK99_RECORDS:-2000}
run cout 100000 1000
run ui 99 100 10 10
run ui 99 4096 0 10
