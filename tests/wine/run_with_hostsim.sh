#!/usr/bin/env bash
# Runs a Windows test program under Wine beside a host simulator it can drive.
#
# Makes a fresh test PKI, starts tools/hostsim.py in control mode and passes the program
#   HOSTSIM_CONTROL_PORT  the simulator's JSON-lines control port on 127.0.0.1
#   PELLARIN_TEST_PKI     the PKI folder as a Windows path (Z:\...\, trailing backslash)
# through the environment (Wine hands the Unix environment to Windows programs). The
# simulator and the folder are removed when the program ends; its exit code is ours.
# Use: run_with_hostsim.sh PROGRAM.exe [ARGS...]
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
python="$(command -v python3)"

pki="$(mktemp -d /tmp/pellarin-pki.XXXXXX)"
trap 'rm -rf "$pki"' EXIT
"$python" "$root/tools/make_test_pki.py" "$pki" || { echo "run_with_hostsim: no PKI" >&2; exit 1; }

# The simulator's first line names its control port; wait for that line, not for a time.
exec {sim_out}< <(exec "$python" "$root/tools/hostsim.py" control --pki "$pki")
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; rm -rf "$pki"' EXIT
if ! read -r -t 20 -u "$sim_out" word port || [ "$word" != CONTROL ]; then
  echo "run_with_hostsim: the host simulator did not start" >&2
  exit 1
fi

export HOSTSIM_CONTROL_PORT="$port"
export PELLARIN_TEST_PKI="Z:${pki//\//\\}\\"
# A copy of the program left by an earlier run is ended first; the run's own copy is ended
# with this script, however it ends (wine-end.py names what it ends).
python3 "$root/tools/wine-end.py" "$1"
trap 'python3 "$root/tools/wine-end.py" "$1"; kill "$sim_pid" 2>/dev/null; rm -rf "$pki"' EXIT
trap 'exit 143' TERM
status=0
"$root/tools/wine-run.sh" "$@" || status=$?
exit "$status"
