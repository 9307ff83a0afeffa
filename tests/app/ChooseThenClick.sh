#!/usr/bin/env bash
# Plays a person choosing a file in an open file dialog and then clicking a
# button, through xdotool, from outside the program so that the input reaches
# the X server while the program is busy.
# Usage: ChooseThenClick.sh HOW WHAT DELAY X Y CLICKS DONE
#   HOW      "double-click" (WHAT is "X Y", the file's place on screen) or
#            "enter" (WHAT is the file name, typed into the dialog)
#   DELAY    seconds to wait once the file is chosen
#   X Y      the button's place on screen; CLICKS presses on it (1 or 2)
#   DONE     a file created once everything has been sent
set -euo pipefail
how=$1 what=$2 delay=$3 x=$4 y=$5 clicks=$6 done=$7

# A person holds each press for a moment.
click() { xdotool mousedown 1; sleep 0.09; xdotool mouseup 1; }

if [ "$how" = double-click ]; then
  # shellcheck disable=SC2086
  xdotool mousemove --sync $what
  click; sleep 0.08; click
else
  xdotool type --delay 20 "$what"
  xdotool key Return
fi
sleep "$delay"
# ... and moves the pointer in steps, not in one jump.
eval "$(xdotool getmouselocation --shell)"
for k in 1 2 3 4 5 6 7 8; do
  xdotool mousemove $((X + (x - X) * k / 8)) $((Y + (y - Y) * k / 8))
  sleep 0.02
done
click
if [ "$clicks" = 2 ]; then sleep 0.08; click; fi
touch "$done"
