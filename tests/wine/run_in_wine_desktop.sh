#!/usr/bin/env bash
# Runs a GoogleTest program inside a Wine virtual desktop and exits with its result.
#   run_in_wine_desktop.sh EXE [ARGS...]
# Wine draws the windows itself there (caption bars included) and needs no window manager,
# so hiding and destroying windows does not wait for one (without it, every hidden top-level
# window cost a one-second time-out). `explorer /desktop` does not pass the program's exit
# status on, so the result is read from the program's XML report: passed only when the
# report exists and counts no failure and no error.
set -uo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
source "$here/tools/wine-env.sh"
exe="$1"
shift
report="$(mktemp -d)/report.xml"
# The program and the pellarin.exe it may start run detached from this script under Wine:
# whatever an earlier run left is ended first (it would share COM1 with this run), and
# whatever this run leaves is ended at the end, however the run ended. wine-end.py names
# each process it ends.
programs=("$exe" "$(dirname "$exe")/pellarin.exe")
end_programs() { python3 "$here/tools/wine-end.py" "${programs[@]}"; }
trap 'end_programs; rm -rf "$(dirname "$report")"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
end_programs
bash "$here/tools/wine-run.sh" explorer /desktop=pellarin-tests,1024x768 \
  "$(winepath -w "$exe")" "--gtest_output=xml:$(winepath -w "$report")" "$@"
if [ ! -s "$report" ]; then
  echo "run_in_wine_desktop: no test report (the program did not finish)" >&2
  exit 1
fi
summary="$(grep -m1 -o '<testsuites [^>]*>' "$report")"
if grep -q ' failures="0"' <<<"$summary" && grep -q ' errors="0"' <<<"$summary"; then
  exit 0
fi
echo "run_in_wine_desktop: $summary" >&2
exit 1
