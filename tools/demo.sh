#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds the i686 product (the one 32-bit
# point-of-sale programs load), and runs two payments through pellarin.exe under Wine between
# the simulated card terminal (COM1 on a pty pair) and the simulated host (loopback, TLS and
# plain), printing a transcript. Exit status 0 only if every byte arrived as expected.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
build="${PELLARIN_DEMO_BUILD:-build/i686}"
echo "demo: building the i686 product in $build"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" &&
       cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"; } >"$build/demo-build.log" 2>&1; then
  tail -40 "$build/demo-build.log"
  echo "demo: the build failed (log: $build/demo-build.log)" >&2
  exit 1
fi
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/demo.py --build-dir "$build"
