#!/usr/bin/env bash
# Prints the relay's latency and throughput figures beside the platform floor's (tools/floor)
# and socat's (the plain-relay baseline), measured in one run on the same kind of pty pair and
# loopback host (see tools/bench.py), once per architecture.
# ARCHES (default "i686 x86_64") names the architectures, each built in build/ARCH first;
# BUILD names one build directory to use as it is instead. Extra arguments go to bench.py
# (--samples N, --mib M, --frames N, --mem-blocks N).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
if [ -n "${BUILD:-}" ]; then
  builds=("$BUILD")
else
  builds=()
  no32=$(bash -c 'source tools/wine-env.sh; echo "$PELLARIN_NO_32BIT"')
  for arch in ${ARCHES:-i686 x86_64}; do
    if [ "$arch" = i686 ] && [ "$no32" = 1 ]; then
      echo "bench: this machine runs no 32-bit programs; no i686 figures"
      continue
    fi
    bash tools/build-product.sh "build/$arch" "$arch"
    builds+=("build/$arch")
  done
fi
status=0
for build in "${builds[@]}"; do
  echo "== $build"
  tools/with-display.sh bash tools/with-ptys.sh python3 tools/bench.py --build-dir "$build" "$@" ||
    status=1
done
exit $status
