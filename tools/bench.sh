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
[ -n "${BUILD:-}" ] || bash tools/build-product.sh "$build"
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/bench.py --build-dir "$build" "$@"
