#!/usr/bin/env bash
# Runs a command with an X display: the current one if DISPLAY is set and answers, otherwise a
# private Xvfb that lives as long as the command.
set -u
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi
for n in $(seq 90 140); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    DISPLAY=":$n" xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  if DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
    trap 'kill $xvfb_pid 2>/dev/null' EXIT
    DISPLAY=":$n" "$@"
    exit $?
  fi
  kill $xvfb_pid 2>/dev/null
done
echo "with-display: no X display could be started" >&2
exit 1
