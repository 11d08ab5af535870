#!/usr/bin/env bash
# Builds the pty null-modem bridge (ptybridge.c) into OUTDIR/bin/ptybridge for this machine.
# A copy newer than the source is kept: calling this every time costs nothing.
set -euo pipefail
out="${1:?usage: build.sh OUTDIR}"
src="$(cd "$(dirname "$0")" && pwd)/ptybridge.c"
bin="$out/bin/ptybridge"
if [ -f "$bin" ] && [ "$bin" -nt "$src" ]; then
  exit 0
fi
mkdir -p "$out/bin"
gcc -O2 -Wall -Wextra -pthread -o "$bin.tmp.$$" "$src"
mv -f "$bin.tmp.$$" "$bin"  # atomic: a concurrent run never starts half a file
echo "ptybridge: built $bin"
