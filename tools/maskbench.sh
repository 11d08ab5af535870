#!/usr/bin/env bash
# Figures of the log's card masking over a generated corpus (tools/maskbench): bytes changed
# outside card data, card digits left readable, throughput. Builds the benchmark optimised and
# without sanitizers in build/maskbench (g++ only; no Wine, no product build) and runs it.
#   bash tools/maskbench.sh [--before REF] [--messages N] [--seed S] [--show N]
# --before REF measures the masker of git revision REF instead (log/card_mask.* and
# log/log_record.h as they were there), on the same corpus: the "before" figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/maskbench"
mkdir -p "$out"
includes=(-I"$root")
defines=()
name=maskbench
if [ "${1:-}" = --before ]; then
  ref="$2"
  shift 2
  old="$out/before-src"
  rm -rf "$old"
  mkdir -p "$old/log"
  for f in log/card_mask.h log/card_mask.cpp log/log_record.h; do
    git -C "$root" show "$ref:$f" >"$old/$f"
  done
  includes=(-I"$old" -I"$root")
  if ! grep -q 'bool bTerminalFrame' "$old/log/card_mask.h"; then
    defines=(-DMASKBENCH_ONE_ARGUMENT_API)
  fi
  masker="$old/log/card_mask.cpp"
  name=maskbench-before
else
  masker="$root/log/card_mask.cpp"
fi
g++ -std=c++17 -O2 -DNDEBUG "${defines[@]}" "${includes[@]}" \
  "$root/tools/maskbench/maskbench.cpp" "$root/tools/maskbench/corpus.cpp" "$masker" \
  -o "$out/$name"
exec "$out/$name" "$@"
