#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix (CTest's emulator for the cross
# builds). The modem-line shim is preloaded when it has been built, so overlapped serial
# waits work on the pseudo-terminals the tests use as COM ports; "$LIB" lets the loader pick
# the 32- or 64-bit copy for the Wine process at hand.
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh"
shim_root="${PELLARIN_SHIM_ROOT:-$WINEPREFIX/../shim}"
if [ -d "$shim_root/lib" ]; then
  export LD_PRELOAD="$shim_root/\$LIB/libptyshim.so${LD_PRELOAD:+:$LD_PRELOAD}"
fi
# The Wine server and the prefix's services outlive the program and keep the standard streams
# they were started with; when those are a test runner's pipe, the runner waits for them long
# after the program has ended (CTest then reports a time-out). Start them first, detached.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
exec wine "$@"
