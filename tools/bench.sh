#!/usr/bin/env bash
# Prints the relay's latency and throughput figures beside socat's (the plain-relay baseline),
# measured in one run on the same kind of pty pair and loopback host (see tools/bench.py).
# Builds the i686 product first unless BUILD names a build directory. Extra arguments go to
# bench.py (--samples N, --mib M, --frames N).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
build="${BUILD:-build/i686}"
if [ -z "${BUILD:-}" ]; then
  mkdir -p "$build"
  if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" &&
         cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"; } >"$build/bench-build.log" 2>&1; then
    tail -40 "$build/bench-build.log"
    echo "bench: the build failed" >&2
    exit 1
  fi
fi
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/bench.py --build-dir "$build" "$@"
