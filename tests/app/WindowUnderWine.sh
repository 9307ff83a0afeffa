#!/usr/bin/env bash
# The Windows build's real window under wine, driven as a person would on
# the X server that the caller provides (scripts/windows-test runs the
# Windows tests under RunUnderX.sh): a click on List 1's Load, a list file
# pasted into the system's own open dialog, a click on Remove List 1 Dupes
# Except First; then each row is copied to the clipboard and compared, a
# picture of the window is saved, and the list is saved through the
# system's own save dialog under a new name and its bytes compared.
# Usage: WindowUnderWine.sh KARVELLO.EXE WINEPREFIX PICTURE.png
set -euo pipefail
exe=$1 prefix=$(realpath -m "$2") picture=$3
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run"

fail() {
  echo "WindowUnderWine: $*" >&2
  if [ -s "${tmp:-}/app.log" ]; then sed 's/^/  karvello.exe: /' "$tmp/app.log" >&2; fi
  exit 1
}
[ -n "${DISPLAY:-}" ] || fail "needs an X server (scripts/windows-test gives one)"

tmp=$(mktemp -d)
cleanup() {
  if [ -n "${app:-}" ] && kill -0 "$app" 2>/dev/null; then
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Two copies of b and of a, a UTF-8 item and a Windows-1252 one (naïve),
# in a file whose name no ANSI code page holds (Greek and Cyrillic).
name='λίστα-список.txt'
printf 'b\r\na\r\nb\r\ncaf\xc3\xa9\r\nna\xefve\r\na\r\n' > "$tmp/$name"
windows_path="Z:${tmp//\//\\}\\$name"

"$wine_run" "$prefix" "$exe" > "$tmp/app.log" 2>&1 &
app=$!
window=$(timeout 60 xdotool search --sync --name '^Karvello$' | head -n1) ||
  fail "the window did not show"
sleep 1

# Places in the window's client area, in pixels: the buttons and the list
# as the window lays them out (twips / 15, inside Frame1 at 8, 0).
xdotool mousemove --window "$window" 48 172 click 1  # Load
timeout 30 xdotool search --sync --name '^Load List' > /dev/null ||
  fail "the Load dialog did not show"
sleep 1
# Pasted: xdotool types characters outside the keyboard's map unreliably.
printf %s "$windows_path" | xclip -selection clipboard >/dev/null 2>&1
xdotool key ctrl+v
sleep 0.5
xdotool key Return
sleep 2
xdotool mousemove --window "$window" 120 364 click 1  # Dupes Except First
sleep 1

# Row by row: Ctrl+C copies the selected item; Down stops at the last row.
xdotool mousemove --window "$window" 60 26 click 1
xdotool key Home
rows=()
for _ in 1 2 3 4 5; do
  xdotool key ctrl+c
  sleep 0.5
  rows+=("$(xclip -o -selection clipboard | od -An -c | tr -s ' ')")
  xdotool key Down
done
import -window "$window" "$picture"

# The Windows-1252 item is the fourth and last row. Other programs get
# CF_UNICODETEXT (here through wine, as the X clipboard's UTF-8): the text
# as the list shows it, "naïve", where the item's bytes read as UTF-8 would
# give U+FFFD (357 277 275).
expected=(" b" " a" " c a f 303 251" " n a 303 257 v e" " n a 303 257 v e")
for k in 0 1 2 3 4; do
  [ "${rows[$k]}" = "${expected[$k]}" ] ||
    fail "row $((k + 1)) is '${rows[$k]}', not '${expected[$k]}'"
done

# Saved under a new name (no question to answer), every byte as it was read.
saved='сохранено-αποθηκευμένο.txt'
xdotool mousemove --window "$window" 120 172 click 1  # Save
timeout 30 xdotool search --sync --name '^Save List' > /dev/null ||
  fail "the Save dialog did not show"
sleep 1
printf %s "Z:${tmp//\//\\}\\$saved" | xclip -selection clipboard >/dev/null 2>&1
# The name field holds the last name used; it is emptied first (wine's
# field has no Ctrl+A).
xdotool key End shift+Home BackSpace ctrl+v
sleep 0.5
xdotool key Return
for _ in $(seq 50); do
  [ -s "$tmp/$saved" ] && break
  sleep 0.2
done
printf 'b\r\na\r\ncaf\xc3\xa9\r\nna\xefve\r\n' | cmp - "$tmp/$saved" ||
  fail "the saved file differs from the list in the window"
leftovers=$(find "$tmp" -name '.karvello-*')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"

# Closed as a user closes it, with the keyboard's focus given back to the
# window by a click on its list.
xdotool mousemove --window "$window" 60 26 click 1
sleep 0.5
xdotool key alt+F4
for _ in $(seq 50); do
  kill -0 "$app" 2>/dev/null || break
  sleep 0.2
done
kill -0 "$app" 2>/dev/null && fail "the window did not close"
wait "$app" || fail "karvello.exe ended with status $?"
echo "window under wine: loaded, removed the duplicates, saved; picture at $picture"
