#!/usr/bin/env bash
# Takes the application shell's screenshots: runs the Screenshots test of app_wine_tests
# inside a Wine desktop (so Wine draws the caption bars) and converts its .bmp pictures to
# .png in OUT_DIR. Usage: app_screenshots.sh TEST_EXE OUT_DIR (under with-display.sh and
# with-ptys.sh; the locale is ko_KR.UTF-8 unless PELLARIN_LOCALE says otherwise).
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
exe="$1"
out="$2"
source "$here/tools/wine-env.sh"
mkdir -p "$out"
rm -f "$out"/*.bmp "$out"/*.png
# The Windows name of OUT_DIR: Wine maps drive Z: to /. Spelled out rather than asked of
# winepath, which starts a Wine process of its own and once answered nothing while the
# previous test's Wine processes were being ended.
out_abs="$(cd "$out" && pwd)"
export PELLARIN_SCREENSHOT_DIR="Z:${out_abs//\//\\}"
status=0
bash "$here/tests/wine/run_in_wine_desktop.sh" "$exe" --gtest_filter='Screenshots.*' || status=1
for name in main-window desktop about-box tray-menu log-window; do
  if [ -s "$out/$name.bmp" ]; then
    convert "$out/$name.bmp" "$out/$name.png" && rm -f "$out/$name.bmp"
    echo "screenshot: $out/$name.png"
  else
    echo "screenshot missing: $name" >&2
    status=1
  fi
done
exit "$status"
