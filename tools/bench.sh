#!/usr/bin/env bash
# Prints the relay's latency and throughput figures beside the platform floor's (tools/floor)
# and socat's (the plain-relay baseline), measured in one run on the same kind of pty pair and
# loopback host (see tools/bench.py), as one table with a row per architecture.
# ARCHES (default "i686 x86_64") names the architectures, each built in build/ARCH first; an
# architecture this machine cannot run is named in the table with the reason. BUILD names one
# build directory to use as it is instead. Extra arguments go to bench.py (--samples N,
# --frames N, --mib M, --mem-blocks N, --log-blocks N, --log-records N, --stage-samples N,
# --stage-rounds N, --stage-mib M; --stages-only for the stage table alone; --tls-rows for
# the TLS paced and throughput rows alone).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
args=()
if [ -n "${BUILD:-}" ]; then
  args+=(--build-dir "$BUILD")
else
  no32=$(bash -c 'source tools/wine-env.sh; echo "$PELLARIN_NO_32BIT"')
  for arch in ${ARCHES:-i686 x86_64}; do
    if [ "$arch" = i686 ] && [ "$no32" = 1 ]; then
      why="this machine runs no 32-bit programs (its kernel has no IA-32 emulation: 32-bit Wine fails with \"Exec format error\"), so Wine cannot start the i686 build; run the benchmark on a machine with 32-bit support for its figures"
      echo "bench: i686 not measured: $why"
      args+=(--absent "i686=$why")
      continue
    fi
    bash tools/build-product.sh "build/$arch" "$arch"
    args+=(--build-dir "build/$arch")
  done
fi
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/bench.py "${args[@]}" "$@"
