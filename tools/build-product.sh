#!/usr/bin/env bash
# Configures and builds the i686 product (the build 32-bit point-of-sale programs load), or the
# architecture given, in the folder given, quietly; on failure prints the end of the log and
# exits 1.
# Usage: tools/build-product.sh BUILD_DIR [i686|x86_64]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: build-product.sh BUILD_DIR [i686|x86_64]}"
arch="${2:-i686}"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-mingw.cmake" &&
       cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"; } >"$build/product-build.log" 2>&1; then
  tail -40 "$build/product-build.log"
  echo "build-product: the build failed (log: $build/product-build.log)" >&2
  exit 1
fi
