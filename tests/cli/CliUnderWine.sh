#!/usr/bin/env bash
# karvello-cli.exe under wine, as a Windows user would run it: bytes through
# files and the standard streams as they are, larger-than-memory runs in
# spill files, the output refused when it is an input, --regex (or, with
# --without-regex, a build that does not offer it), and what only Windows
# has: the read-only attribute, a file another program holds open without
# sharing, the devices NUL and CON, paths past 260 characters, names outside
# every ANSI code page, in arguments, files and the messages of a console.
# The cases of cli_test that mean something only on Linux are listed as
# skipped, each with its reason.
# Usage: CliUnderWine.sh KARVELLO-CLI.EXE HOLD_FILE.EXE WINEPREFIX [--without-regex]
set -uo pipefail
cli=$(realpath "$1") hold=$(realpath "$2") prefix=$(realpath -m "$3")
without_regex=${4:-}
wine_run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run"
tmp=$(mktemp -d)
trap 'exec 7>&- 2>/dev/null; rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1

failed=0
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failed=1
}
skip() { echo "SKIPPED: $*"; }
# Runs the tool with the arguments given; stdout and stderr to the files
# "out" and "err" unless redirected by the caller; sets $status.
cli() {
  "$wine_run" "$prefix" "$cli" "$@" >out 2>err
  status=$?
}
# Runs the tool in a console, which wine makes for a program whose standard
# streams are a terminal (script(1)'s); what the console showed, without
# the escape sequences by which wine draws it, goes to the file "shown".
in_console() {
  script -qfec "$(printf '%q ' "$wine_run" "$prefix" "$cli" "$@")" /dev/null \
    </dev/null >raw
  status=$?
  perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g' raw >shown
}
# expect NAME STATUS FILE BYTES: the last run ended with STATUS and FILE
# holds exactly BYTES (printf format).
expect() {
  # shellcheck disable=SC2059
  if [ "$status" = "$2" ] && printf "$4" | cmp -s - "$3"; then
    pass "$1"
  else
    fail "$1: status $status, $3 holds $(od -An -c "$3" | head -3), stderr: $(cat err)"
  fi
}
no_leftovers() {
  local left
  left=$(find "$tmp" -name '.karvello-*')
  [ -z "$left" ] || fail "temporary files left: $left"
}

printf 'b\r\na\x1a\r\nb\r\n\x1a\r\nc' >in.txt
deduped='b\r\na\x1a\r\n\x1a\r\nc\r\n'

# Bytes as they are: no end of input at ^Z, no CR LF translation, from a
# file and from standard input, to standard output and to a file.
cli dedupe in.txt
expect "a file to standard output, every byte" 0 out "$deduped"
"$wine_run" "$prefix" "$cli" dedupe --lf <in.txt >out 2>err
status=$?
expect "standard input to standard output, LF line ends" 0 out 'b\na\x1a\n\x1a\nc\n'
printf 'old' >old.txt
cli dedupe in.txt -o old.txt
expect "an existing file replaced" 0 old.txt "$deduped"
cli dedupe in.txt -o new.txt
expect "a new file" 0 new.txt "$deduped"
no_leftovers

# The system's NFC (no ICU on Windows) past a broken byte, and STRING that
# starts with a slash is a text, not an option.
printf 'e\xcc\x81\r\n\xc3\xa9\r\n\xff\xcc\x81\r\n/x\r\n' >nfc.txt
cli dedupe --normalize nfc.txt
expect "--normalize composes, broken bytes kept" 0 out 'e\xcc\x81\r\n\xff\xcc\x81\r\n/x\r\n'
cli remove-with /x nfc.txt
expect "a STRING that starts with a slash" 0 out 'e\xcc\x81\r\n\xc3\xa9\r\n\xff\xcc\x81\r\n'

# --regex, as on Linux: RE2's syntax, the key's rules, and the same result
# past --memory; a bad expression is bad usage. A build without RE2 does not
# offer it.
if [ "$without_regex" = --without-regex ]; then
  cli remove-with --help
  if ! grep -q -- --regex out; then
    pass "no --regex in the help of a build without RE2"
  else
    fail "a build without RE2 offers --regex"
  fi
  cli remove-with a --regex in.txt
  expect "--regex refused without RE2" 2 out ''
else
  printf '17\r\na7\r\nx27\r\n27x\r\n707\r\n' >rx.txt
  cli remove-with '[0-9]7$' --regex --lines rx.txt
  expect "--regex" 0 out 'a7\r\n27x\r\n'
  printf 'a,17\r\nb,"x7"\r\nc,7x\r\nd\r\n' >rx.txt
  cli remove-with '7"?$' --regex --lines --field 2 --delimiter , rx.txt
  expect "--regex on a field" 0 out 'c,7x\r\nd\r\n'
  printf 'Caf\xc3\xa9,CAFE\xcc\x81, TEXT here,  text,coffee\r\n' >rx.txt
  cli remove-without '^\s?(text|caf)' --regex --ignore-case --normalize rx.txt
  expect "--regex --ignore-case --normalize" 0 out \
    'Caf\xc3\xa9\r\nCAFE\xcc\x81\r\n TEXT here\r\n'
  printf 'caf\xc3\xa9\r\ncafe\xcc\x81\r\ncafe\r\n' >rx.txt
  cli remove-with 'É$' --regex --ignore-case rx.txt
  expect "--regex, a case outside ASCII" 0 out 'cafe\xcc\x81\r\ncafe\r\n'
  cli remove-with 'É$' --regex --ignore-case --normalize rx.txt
  expect "--regex, a pattern normalized as the keys" 0 out 'cafe\r\n'
  cli dedupe --regex in.txt
  expect "--regex where there is no STRING" 2 out ''
  cli remove-with 'a(' --regex in.txt
  if [ "$status" = 2 ] &&
    head -n1 err | grep -qx 'karvello-cli: invalid regular expression: missing ): a('; then
    pass "a bad expression is bad usage, with RE2's reason"
  else
    fail "a bad expression: status $status, $(cat err)"
  fi
fi

# Larger than --memory: spill files in --temp-dir, gone afterwards, and the
# same result as in memory.
mkdir spill
awk 'BEGIN { for (i = 0; i < 150000; i++) printf "item %d\r\n", (i * 7919) % 120000 }' >big.txt
for command in dedupe remove-all-dupes; do
  cli "$command" big.txt
  mv out whole
  cli "$command" big.txt --memory 1M --temp-dir spill
  if [ "$status" = 0 ] && cmp -s whole out && [ -s out ] &&
    [ -z "$(ls -A spill)" ]; then
    pass "$command past --memory: the result in memory, no spill file left"
  else
    fail "$command past --memory: status $status, $(cat err), spill: $(ls -A spill)"
  fi
done
if [ "$without_regex" != --without-regex ]; then
  LC_ALL=C grep -av $'7\r$' big.txt >no-sevens
  cli remove-with '7$' --regex big.txt --memory 1M --temp-dir spill
  if [ "$status" = 0 ] && [ -s out ] && cmp -s no-sevens out; then
    pass "--regex past --memory"
  else
    fail "--regex past --memory: status $status, $(cat err)"
  fi
fi

# An input may be OUT, under any of its names: the result replaces it once
# complete (a hard link keeps the old text). Standard output may not be an
# input: it is found by identity (volume serial number and file index).
cp in.txt again.txt
ln again.txt link.txt
cli dedupe again.txt -o link.txt
expect "OUT that is an input under another name, replaced" 0 link.txt "$deduped"
cmp -s in.txt again.txt || fail "the other hard link changed"
cp in.txt input.txt
"$wine_run" "$prefix" "$cli" dedupe input.txt >>input.txt 2>err
status=$?
if [ "$status" = 1 ] && grep -q "it is also the output" err &&
  cmp -s in.txt input.txt; then
  pass "an input that is standard output is refused"
else
  fail "standard output as an input: status $status, $(cat err)"
fi

# The read-only attribute (what wine shows for a file without write
# permission), refused even though this runs as root.
printf 'old' >read-only.txt
chmod a-w read-only.txt
cli dedupe in.txt -o read-only.txt
if [ "$status" = 1 ] && grep -q "Permission denied" err; then
  expect "a read-only file is refused and kept" 1 read-only.txt 'old'
else
  fail "read-only: status $status, $(cat err)"
fi

# A file another program holds open without sharing.
printf 'old' >held.txt
mkfifo holder-in
"$wine_run" "$prefix" "$hold" held.txt <holder-in >holder-out 2>&1 &
holder=$!
exec 7>holder-in
for _ in $(seq 100); do
  grep -q held holder-out 2>/dev/null && break
  sleep 0.1
done
if grep -q held holder-out; then
  cli dedupe in.txt -o held.txt
  if [ "$status" = 1 ] && grep -q "cannot save held.txt: Device or resource busy" err; then
    expect "a file held open by another program is refused and kept" 1 held.txt 'old'
  else
    fail "held open: status $status, $(cat err)"
  fi
else
  fail "the holding program did not start: $(cat holder-out)"
fi
exec 7>&-
wait "$holder"
no_leftovers

# Devices are written to, never replaced by a file.
cli dedupe in.txt -o NUL
expect "NUL takes the output" 0 out ''
# Under wine a program run without a console has no CON to write to (the
# write fails); either way no file named CON may appear.
cli dedupe in.txt -o CON
if { [ "$status" = 0 ] || grep -q "cannot save CON" err; } &&
  [ ! -e CON ] && [ ! -e con ]; then
  pass "CON is written to, never replaced (status $status: $(cat err))"
else
  fail "CON: status $status, $(cat err)"
fi

# Past the 260 characters of the old limit, in and out.
deep=$(printf '%050d/' 1 2 3 4 5 6)
mkdir -p "$deep"
cp in.txt "$deep/in.txt"
cli dedupe "$deep/in.txt" -o "$deep/out.txt"
expect "paths of $(( ${#tmp} + ${#deep} + 10 )) characters" 0 "$deep/out.txt" "$deduped"

# Names no ANSI code page holds, as arguments and as files.
cp in.txt 'λίστα-список.txt'
cli dedupe 'λίστα-список.txt' -o 'έξοδος-выход.txt'
expect "names outside the ANSI code page" 0 'έξοδος-выход.txt' "$deduped"

# Messages that name such a file: characters in a console (not the bytes of
# UTF-8 read in the console's code page, "╬¢╬╡"), UTF-8 anywhere else.
in_console cat 'Λεξη.txt'
if [ "$status" = 1 ] && grep -q 'Λεξη\.txt' shown && ! grep -q '╬' shown; then
  pass "a console shows the name in a message"
else
  fail "a message in a console: status $status, shown: $(cat shown)"
fi
cli cat 'Λεξη.txt'
expect "a message into a file is UTF-8" 1 err \
  'karvello-cli: cannot read \316\233\316\265\316\276\316\267.txt: No such file or directory\n'
# The progress line in a console, for a run that waits on its input.
mkfifo slow
{ printf 'a\r\n'; sleep 3; printf 'b\r\n'; } >slow &
writer=$!
in_console cat slow -o slow.txt
kill "$writer" 2>/dev/null  # still waiting for a reader that never came
wait "$writer"
if [ "$status" = 0 ] && grep -Eq 'karvello-cli: 3 B read, [0-9]+ B/s' shown; then
  expect "a console shows the progress line" 0 slow.txt 'a\r\nb\r\n'
else
  fail "the progress line in a console: status $status, shown: $(cat shown)"
fi

cli frobnicate
[ "$status" = 2 ] && pass "bad usage exits with 2" || fail "bad usage: status $status"
no_leftovers

for reason in \
  "peak memory bounds: time(1) measures wine, not the program" \
  "signals (SIGINT, SIGTERM, SIGPIPE) and exit status 128+N: none on Windows;" \
  "  Ctrl+C cannot be sent under wine to a program without a console" \
  "/dev/stdout, /dev/fd/N, symbolic links and hard links kept: Linux names" \
  "another user's files, modes and owners: Windows has ACLs, wine none" \
  "non-blocking standard streams and a slow reader: no such mode on Windows" \
  "O_TMPFILE and named spill files: Linux file systems only"; do
  skip "$reason"
done
exit "$failed"
