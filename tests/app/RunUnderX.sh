#!/usr/bin/env bash
# Runs a command on a private X server with a window manager, as a desktop
# session would: Xvfb on a free display, openbox on it, then the command.
# Usage: RunUnderX.sh COMMAND [ARGS...]
set -euo pipefail

tmp=$(mktemp -d)
cleanup() {
  [ -n "${wm_pid:-}" ] && kill "$wm_pid" 2>/dev/null || true
  [ -n "${x_pid:-}" ] && kill "$x_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
exec 3>"$tmp/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
x_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [ -s "$tmp/display" ] && break
  sleep 0.1
done
if [ ! -s "$tmp/display" ]; then
  echo "RunUnderX: Xvfb did not start" >&2
  cat "$tmp/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$tmp/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

openbox --sm-disable >"$tmp/wm.log" 2>&1 &
wm_pid=$!
# The window manager is up once it publishes its desktops.
for _ in $(seq 100); do
  xdotool get_num_desktops >/dev/null 2>&1 && break
  sleep 0.1
done

"$@"
