#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds the i686 product (the one 32-bit
# point-of-sale programs load), and runs two payments through pellarin.exe under Wine between
# the simulated card terminal (COM1 on a pty pair) and the simulated host (loopback, TLS and
# plain), then a port change through the settings window, printing a transcript. Exit status 0
# only if every byte arrived as expected.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh
build="${PELLARIN_DEMO_BUILD:-build/i686}"
echo "demo: building the i686 product in $build"
bash tools/build-product.sh "$build"
exec tools/with-display.sh bash tools/with-ptys.sh python3 tools/demo.py --build-dir "$build"
