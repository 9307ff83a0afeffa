#!/usr/bin/env bash
# Times each karvello-cli option against the same command without it, on
# the 10-million-item file of bench/peers.sh, with hyperfine, and prints the
# medians and the ratio to the default path:
#   dedupe      --lines, --stats, --ignore-case, --trim, both, --count
#   dedupe      --keep-last, --normalize, --field 2 (of "N<TAB>item" lines,
#               against the items alone), and keep-dupes
#   subtract    --ignore-case --trim
#   remove-with --ignore-case, --regex, beside grep -vF and grep -vE;
#               --normalize on a long run of marks in and out of order
# A second file, the same items with "É" in front of every third, takes
# --ignore-case through the UTF-8 decoder rather than its ASCII shortcut.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 5) sets
# how many runs give each median; OPTIONS_LINES scales the file down.
set -euo pipefail

source "$(dirname "$0")/common.sh"
runs=${RUNS:-5}
lines=${OPTIONS_LINES:-10000000}
if ! command -v hyperfine >/dev/null; then
  echo "$name: hyperfine is missing; run scripts/install-deps" >&2
  exit 1
fi

peer_lists "$lines"
accents=$work/accents-$lines.txt
if [ ! -s "$accents" ]; then
  awk 'NR % 3 == 0 { printf "\303\211" } { print }' "$list" >"$accents"
fi
fields=$work/fields-$lines.txt
if [ ! -s "$fields" ]; then
  awk '{ print NR "\t" $0 }' "$list" >"$fields"
fi
echo "$name: $list, $(wc -l <"$list") items; $runs runs each"

json=$work/options.json
# One hyperfine run per group, so each option is timed beside its default
# (the group's first command, the x1.00 of its ratios).
group() {
  hyperfine --style none --warmup 1 --runs "$runs" --export-json "$json" "$@" >/dev/null
  python3 - "$json" "$cli" "$work/" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
base = results[0]["median"]
for r in results:
    command = r["command"].replace(sys.argv[2], "karvello-cli")
    command = command.replace(sys.argv[3], "").replace(" -o /dev/null", "")
    print(f"{command:<80} {r['median']:7.3f} s  x{r['median'] / base:.2f}")
PY
}

out=/dev/null
group \
  "$cli dedupe --lf $list -o $out" \
  "$cli dedupe --lf --lines $list -o $out" \
  "$cli dedupe --lf --stats $list -o $out" \
  "$cli dedupe --lf --ignore-case $list -o $out" \
  "$cli dedupe --lf --trim $list -o $out" \
  "$cli dedupe --lf --ignore-case --trim $list -o $out" \
  "$cli dedupe --lf --count $list -o $out"
group \
  "$cli dedupe --lf $accents -o $out" \
  "$cli dedupe --lf --ignore-case $accents -o $out"
group \
  "$cli dedupe --lf --lines $list -o $out" \
  "$cli dedupe --lf --lines --keep-last $list -o $out" \
  "$cli dedupe --lf --lines --normalize $list -o $out" \
  "$cli dedupe --lf --lines --field 2 $fields -o $out" \
  "$cli keep-dupes --lf --lines $list -o $out"
group \
  "$cli subtract $other --lf $list -o $out" \
  "$cli subtract $other --lf --ignore-case --trim $list -o $out"
group \
  "$cli remove-with abc --lf $list -o $out" \
  "$cli remove-with ABC --lf --ignore-case $list -o $out"
# Each expression beside grep's own on the same lines, with the same
# output, all into a file (grep stops at the first match into /dev/null).
got=$work/options.out
group \
  "grep -vF abc $list >$got" \
  "$cli remove-with abc --lf --lines $list -o $got" \
  "$cli remove-with abc --regex --lf --lines $list -o $got"
group \
  "grep -vE '[0-9]{3}\$' $list >$got" \
  "$cli remove-with '[0-9]{3}\$' --regex --lf --lines $list -o $got"
# --normalize on one line of 160,000 combining marks: alternating classes
# (220, 230), which must be put in order, beside one repeated mark, which is
# in order already; the two should take about as long.
marks_alternating=$work/marks-alternating.txt
marks_repeated=$work/marks-repeated.txt
if [ ! -s "$marks_alternating" ]; then
  python3 -c "print('a' + '\u0301\u0316' * 80000)" >"$marks_alternating"
  python3 -c "print('a' + '\u0301' * 160000)" >"$marks_repeated"
fi
group \
  "$cli remove-with x --normalize --lf $marks_repeated -o $out" \
  "$cli remove-with x --normalize --lf $marks_alternating -o $out"
