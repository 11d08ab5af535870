#!/usr/bin/env bash
# Starts pellarin.exe by hand on a Wine virtual desktop (which has a task bar with the
# notification area, so the tray icon and its menu can be used), with COM1 on a pty pair.
# Usage: tools/run-desktop.sh [BUILD_DIR]   (default build/i686; needs an X display)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/i686}"
source "$here/wine-env.sh"
# Another pellarin.exe of this prefix (a test run's, or an earlier desktop's) would share COM1
# with this one: say so and stop rather than start a second.
others="$(python3 "$here/wine-end.py" --list --name pellarin.exe)"
if [ -n "$others" ]; then
  echo "run-desktop: another pellarin.exe runs in $WINEPREFIX and may hold COM1:" >&2
  echo "$others" >&2
  echo "run-desktop: end it (python3 tools/wine-end.py --name pellarin.exe) and start again" >&2
  exit 1
fi
exe="$(winepath -w "$build/app/pellarin.exe")"
echo "run-desktop: the terminal side of COM1 is printed by with-ptys.sh as PELLARIN_TERM_COM1"
exec bash "$here/with-ptys.sh" bash -c \
  'echo "PELLARIN_TERM_COM1=$PELLARIN_TERM_COM1"; exec bash "$0" explorer /desktop=pellarin,1024x768 "$1"' \
  "$here/wine-run.sh" "$exe"
