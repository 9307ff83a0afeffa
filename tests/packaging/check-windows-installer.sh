#!/usr/bin/env bash
# The Windows installer, as a user meets it, under wine on the X server the
# caller provides: installed silently, karvello.exe started from its
# Start-menu entry, then uninstalled, which must take the program, the
# Start-menu entries and the entry among the installed programs away.
# Usage: check-windows-installer.sh INSTALLER_DIR WINEPREFIX
set -euo pipefail
out=$1 prefix=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run"

failed=0
fail() {
  echo "check-windows-installer: $*" >&2
  failed=1
}
[ -n "${DISPLAY:-}" ] || {
  fail "needs an X server (scripts/windows-test gives one)"
  exit 1
}

installer=$(ls "$out"/karvello-*-windows-x64.exe)

"$wine_run" "$prefix" --boot
drive_c=$prefix/drive_c
program_dir="$drive_c/Program Files/Karvello"
menu_dir="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Karvello"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Karvello'
registered() { "$wine_run" "$prefix" reg query "$uninstall_key" >/dev/null 2>&1; }
# Polls COMMAND... for up to a minute.
within_a_minute() {
  for _ in $(seq 120); do
    "$@" && return 0
    sleep 0.5
  done
  return 1
}
no_window() { ! xdotool search --name '^Karvello$' >/dev/null; }
uninstalled() { [ ! -e "$program_dir/bin" ] && [ ! -e "$menu_dir" ]; }

"$wine_run" "$prefix" "$installer" /S || fail "the installer ended with $?"
[ -f "$program_dir/bin/karvello.exe" ] || fail "no bin\\karvello.exe"
version=$("$wine_run" "$prefix" "$program_dir/bin/karvello-cli.exe" --version) ||
  fail "bin\\karvello-cli.exe did not run"
[[ "$version" == *0.* ]] || fail "karvello-cli.exe --version gave '$version'"
[ -f "$program_dir/Uninstall.exe" ] || fail "no Uninstall.exe"
[ -f "$menu_dir/Karvello.lnk" ] || fail "no Start-menu entry"
[ -f "$menu_dir/Uninstall.lnk" ] || fail "no Start-menu entry to uninstall"
registered || fail "not among the installed programs"

# The Start-menu entry starts the program.
if [ -f "$menu_dir/Karvello.lnk" ]; then
  "$wine_run" "$prefix" start /unix "$menu_dir/Karvello.lnk"
  timeout 60 xdotool search --sync --name '^Karvello$' >/dev/null ||
    fail "the Start-menu entry showed no window"
  # Asked to close, as the system asks when the user logs off.
  "$wine_run" "$prefix" taskkill /im karvello.exe >/dev/null 2>&1 || true
  within_a_minute no_window || fail "karvello.exe did not close when asked to"
fi

# The uninstaller runs a copy of itself from the temporary folder and
# returns at once.
"$wine_run" "$prefix" "$program_dir/Uninstall.exe" /S ||
  fail "the uninstaller ended with $?"
if within_a_minute uninstalled; then
  if registered; then fail "still among the installed programs"; fi
else
  [ ! -e "$program_dir/bin" ] || fail "bin\\ is still there after uninstalling"
  [ ! -e "$menu_dir" ] || fail "the Start-menu folder is still there"
fi
rm -rf "$program_dir"

if [ $failed -ne 0 ]; then exit 1; fi
echo "installer ok: $(basename "$installer"), $(stat -c %s "$installer") bytes"
