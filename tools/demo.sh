#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds the i686 product (the one 32-bit
# point-of-sale programs load), and runs two payments through pellarin.exe under Wine between
# the simulated card terminal (COM1 on a pty pair) and the simulated host (loopback, TLS and
# plain), then a port change through the settings window and Exit through the tray menu,
# printing a transcript and saving pictures of the windows. Exit status 0
# only if every byte arrived as expected.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
# The i686 product is what point-of-sale programs load; a machine whose kernel runs no 32-bit
# programs cannot start it under Wine, and shows the relay with the x86_64 build instead.
arch=i686
if [ "$(bash -c 'source tools/wine-env.sh; echo "$PELLARIN_NO_32BIT"')" = 1 ]; then
  arch=x86_64
  echo "demo: this machine runs no 32-bit programs; the x86_64 build plays the relay"
fi
build="${PELLARIN_DEMO_BUILD:-build/$arch}"
echo "demo: building the $arch product in $build"
bash tools/build-product.sh "$build" "$arch"
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/demo.py --build-dir "$build"
