#!/usr/bin/env bash
# Runs a command with COM1..COM3 and COM10 of the Wine prefix wired to pty null-modem pairs, the
# way a test bench wires a PC to a card terminal with a crossed cable (COM10: a port that opens
# only through the device namespace).
#
#   with-ptys.sh CMD [ARGS...]   start the pairs, run CMD, stop the pairs; exit with CMD's status
#   with-ptys.sh --kill N        (inside a run) stop pair N: its device vanishes under Wine
#   with-ptys.sh --start N       (inside a run) start pair N again on the same link paths
#
# Pair N is `ptybridge DIR/comNa DIR/comNb` (tools/ptybridge: two pty pairs, one thread per
# direction, so a side that stops reading never holds up what the other side writes): Wine
# opens comNa as COMN (mapped once per prefix in HKLM\Software\Wine\Ports), a terminal
# simulator opens comNb. DIR is
# stable per prefix ($WINEPREFIX/../ptys/<prefix name>), so the mapping survives restarts of
# the pairs. Runs on one prefix take turns (a lock on DIR); a run nested in another reuses
# the outer pairs.
#
# Exported to CMD: PELLARIN_PTY_DIR, PELLARIN_PTYS_CTL (this script, for --kill/--start),
# PELLARIN_TERM_COMN (terminal side of pair N) and PELLARIN_HOST_COMN (the side Wine opens).
# The bridge and the modem-line shim that Wine needs on ptys are built here if missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh"
PORTS="${PELLARIN_PTY_PORTS:-1 2 3 10}"  # the port numbers N that get a pair
dir="${PELLARIN_PTY_DIR:-$(dirname "$WINEPREFIX")/ptys/$(basename "$WINEPREFIX")}"
shim_root="${PELLARIN_SHIM_ROOT:-$WINEPREFIX/../shim}"  # built helpers: the shim, the bridge
bridge="$shim_root/bin/ptybridge"

die() { echo "with-ptys: $*" >&2; exit 1; }

# A process that is gone or a zombie (nobody may reap a pair restarted by --start).
alive() {
  local state
  state="$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Our own bridge for pair N, judged by its command line, so a reused PID is never killed.
pair_pid() {
  local n=$1 pid
  pid="$(cat "$dir/com$n.pid" 2>/dev/null)" || return 1
  alive "$pid" || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF " $dir/com${n}a $dir/com${n}b " ||
    return 1
  echo "$pid"
}

stop_pair() {
  local n=$1 pid
  if pid="$(pair_pid "$n")"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.02; done
    alive "$pid" && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/com$n.pid" "$dir/com${n}a" "$dir/com${n}b"
}

start_pair() {
  local n=$1
  stop_pair "$n"
  "$bridge" "$dir/com${n}a" "$dir/com${n}b" </dev/null >"$dir/com$n.log" 2>&1 9>&- &
  echo $! >"$dir/com$n.pid"
  for _ in $(seq 250); do
    [ -e "$dir/com${n}a" ] && [ -e "$dir/com${n}b" ] && return 0
    alive "$(cat "$dir/com$n.pid")" || break
    sleep 0.02
  done
  die "pair $n did not come up (see $dir/com$n.log)"
}

# COMN -> DIR/comNa in the prefix's registry, once: Wine reads the mapping when its
# server starts, hence the wait for the server to end. COM9 is left unmapped on purpose.
map_ports() {
  local marker="$WINEPREFIX/.pellarin-ports" want
  want="$dir $PORTS"
  [ -f "$marker" ] && [ "$(cat "$marker")" = "$want" ] && return 0
  [ -d "$WINEPREFIX" ] || die "no Wine prefix at $WINEPREFIX (run tools/setup.sh)"
  wineserver -w
  for n in $PORTS; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$dir/com${n}a" /f >/dev/null
  done
  wine reg delete 'HKLM\Software\Wine\Ports' /v COM9 /f >/dev/null 2>&1 || true
  wineserver -w
  echo "$want" >"$marker"
}

case "${1:-}" in
  --kill|--start)
    [ $# -eq 2 ] || die "usage: with-ptys.sh $1 N"
    [ -n "${PELLARIN_PTY_DIR:-}" ] || die "$1 works only inside a with-ptys.sh run"
    if [ "$1" = --kill ]; then stop_pair "$2"; else start_pair "$2"; fi
    exit 0 ;;
  "") die "usage: with-ptys.sh CMD [ARGS...]" ;;
esac

# Nested run: the outer one already holds the pairs.
if [ -n "${PELLARIN_PTY_DIR:-}" ] && [ "$PELLARIN_PTY_DIR" = "$dir" ]; then
  exec "$@"
fi

mkdir -p "$dir"
bash "$here/ptyshim/build.sh" "$shim_root" >/dev/null
bash "$here/ptybridge/build.sh" "$shim_root" >/dev/null
exec 9>"$dir/.lock"
flock 9
map_ports

cleanup() {
  for n in $PORTS; do stop_pair "$n"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for n in $PORTS; do start_pair "$n"; done

export PELLARIN_PTY_DIR="$dir"
export PELLARIN_PTYS_CTL="$here/with-ptys.sh"
for n in $PORTS; do
  export "PELLARIN_TERM_COM$n=$dir/com${n}b"
  export "PELLARIN_HOST_COM$n=$dir/com${n}a"
done
# The lock descriptor stays with this script: a Wine server started by CMD outlives it.
status=0
"$@" 9>&- || status=$?
exit "$status"
