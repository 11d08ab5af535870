#!/usr/bin/env bash
# Builds the modem-line shim (ptyshim.c) for 32- and 64-bit Linux into
#   OUTDIR/lib/i386-linux-gnu/libptyshim.so and OUTDIR/lib/x86_64-linux-gnu/libptyshim.so,
# the layout that the dynamic loader's $LIB expands to on Debian, so one LD_PRELOAD entry
# ("OUTDIR/$LIB/libptyshim.so") serves 32- and 64-bit Wine processes alike.
# A copy newer than the source is kept: calling this every time costs nothing.
set -euo pipefail
out="${1:?usage: build.sh OUTDIR}"
src="$(cd "$(dirname "$0")" && pwd)/ptyshim.c"
for pair in "i386-linux-gnu:-m32" "x86_64-linux-gnu:-m64"; do
  triplet="${pair%%:*}"
  flag="${pair#*:}"
  lib="$out/lib/$triplet/libptyshim.so"
  if [ -f "$lib" ] && [ "$lib" -nt "$src" ]; then
    continue
  fi
  mkdir -p "$out/lib/$triplet"
  gcc "$flag" -O2 -Wall -Wextra -fPIC -shared -o "$lib.tmp.$$" "$src" -ldl
  mv -f "$lib.tmp.$$" "$lib" # atomic: a concurrent run never preloads half a file
  echo "ptyshim: built $lib"
done
