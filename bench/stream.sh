#!/usr/bin/env bash
# Times karvello-cli cat, dedupe and subtract against cat on one CR LF file,
# in one run, and prints the ratios against the targets:
#   karvello-cli cat     within 3x of cat FILE >OUT
#   karvello-cli dedupe  within 1.5x of karvello-cli cat (and, since cat
#                        passes clean lines through, of remove-blanks,
#                        which reads and writes every item)
#   dedupe peak memory   within 1.3x the file's size
# with medians of wall time, CPU time and minor page faults (fresh pages).
# The file: 10 million items of about 31 bytes and CR LF, 2.7 million
# distinct. Also checks that dedupe's output equals gawk's byte for byte.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 5) sets
# how many runs give each median; STREAM_LINES scales the file down.
# BASELINE=path/to/karvello-cli (another build, an earlier commit's) times
# that one too, run for run beside this one, and prints the ratios.
set -euo pipefail

source "$(dirname "$0")/common.sh"
runs=${RUNS:-5}
lines=${STREAM_LINES:-10000000}
list=$work/crlf-$lines.txt
if [ ! -s "$list" ]; then
  echo "$name: generating $lines items"
  "$gen" "$lines" $((lines * 27 / 100)) 1 |
    gawk '{ printf "%s@example.com\r\n", $0 }' >"$list"
fi
# OTHER for subtract: a tenth as many items, half of them in the list.
other=$work/crlf-other-$lines.txt
if [ ! -s "$other" ]; then
  "$gen" $((lines / 10)) $((lines / 10)) 2 $((lines * 27 / 100 - lines / 20)) |
    gawk '{ printf "%s@example.com\r\n", $0 }' >"$other"
fi
size=$(stat -c %s "$list")
echo "$name: $list ($size bytes)"
cat "$list" "$other" >/dev/null # into the page cache for every tool alike

out=$work/stream-out
read -r c_null _ _ _ c_null_cpu < <(medians "$runs" -o /dev/null cat "$list")
read -r c_time _ _ c_faults c_cpu < <(medians "$runs" -o "$out.c" cat "$list")
read -r k_time k_kb _ k_faults k_cpu < <(medians "$runs" -o "$out.k" \
  "$cli" cat "$list")
# remove-blanks keeps every item of this file but reads and writes each one:
# the copy by items that cat was before it passed clean lines through.
read -r b_time b_kb _ b_faults b_cpu < <(medians "$runs" -o "$out.b" \
  "$cli" remove-blanks "$list")
read -r d_time d_kb _ d_faults d_cpu < <(medians "$runs" -o "$out.d" \
  "$cli" dedupe "$list")
read -r s_time s_kb _ s_faults s_cpu < <(medians "$runs" -o "$out.s" \
  "$cli" subtract "$other" "$list")
read -r g_time _ _ _ g_cpu < <(medians 1 -o "$out.g" \
  gawk -v ORS='\r\n' -v RS='\r\n' '!seen[$0]++' "$list")

status=0
if cmp -s "$out.d" "$out.g"; then
  echo "dedupe output equals gawk's byte for byte"
else
  echo "DIFFERENT: karvello-cli dedupe and gawk"
  status=1
fi
if ! cmp -s "$out.k" "$list" || ! cmp -s "$out.b" "$list"; then
  echo "DIFFERENT: karvello-cli cat or remove-blanks changed the file"
  status=1
fi
printf '%-32s %7s s wall %7s s CPU %8s faults %6s MB peak\n' \
  "cat >/dev/null" "$c_null" "$c_null_cpu" - - \
  "cat >OUT" "$c_time" "$c_cpu" "$c_faults" - \
  "karvello-cli cat >OUT" "$k_time" "$k_cpu" "$k_faults" $((k_kb / 1024)) \
  "karvello-cli remove-blanks >OUT" "$b_time" "$b_cpu" "$b_faults" $((b_kb / 1024)) \
  "karvello-cli dedupe >OUT" "$d_time" "$d_cpu" "$d_faults" $((d_kb / 1024)) \
  "karvello-cli subtract >OUT" "$s_time" "$s_cpu" "$s_faults" $((s_kb / 1024)) \
  "gawk '!seen[\$0]++' >OUT" "$g_time" "$g_cpu" - -
check() { gawk -v v="$1" -v t="$2" 'BEGIN { print v <= t ? "met" : "MISSED" }'; }
ratio() { gawk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cat_wall=$(ratio "$k_time" "$c_time")
cat_cpu=$(ratio "$k_cpu" "$c_cpu")
dedupe_wall=$(ratio "$d_time" "$k_time")
dedupe_cpu=$(ratio "$d_cpu" "$k_cpu")
items_wall=$(ratio "$d_time" "$b_time")
items_cpu=$(ratio "$d_cpu" "$b_cpu")
memory=$(ratio "$d_kb" $((size / 1024)))
echo "karvello-cli cat / cat:     ${cat_wall}x wall, ${cat_cpu}x CPU  (target <= 3x: $(check "$cat_wall" 3))"
echo "dedupe / karvello-cli cat:  ${dedupe_wall}x wall, ${dedupe_cpu}x CPU  (target <= 1.5x: $(check "$dedupe_wall" 1.5))"
echo "dedupe / remove-blanks:     ${items_wall}x wall, ${items_cpu}x CPU  (the same target against a copy by items)"
echo "dedupe peak / file size:    ${memory}x  (target <= 1.3x: $(check "$memory" 1.3))"

# The baseline, each command timed right after this build's, in one run.
if [ -n "${BASELINE:-}" ]; then
  echo "against $BASELINE (medians of $runs, wall s, CPU s, peak MB):"
  for command in "cat $list" "remove-blanks $list" "dedupe $list" \
    "subtract $other $list"; do
    word=${command%% *}
    for ((r = 0; r < runs; r++)); do
      "$stats" -o "$out.new" "$cli" $command | sed 's/^/new /'
      "$stats" -o "$out.old" "$BASELINE" $command | sed 's/^/old /'
    done | gawk -v w="$word" '
      { t[$1][++n[$1]] = $2; m[$1][n[$1]] = $3; c[$1][n[$1]] = $6 }
      function med(a, k) { asort(a); return a[int((k + 1) / 2)] }
      END { nt = med(t["new"], n["new"]); ot = med(t["old"], n["old"])
            nc = med(c["new"], n["new"]); oc = med(c["old"], n["old"])
            printf "  %-14s new %6.2f s %6.2f CPU %5d MB   old %6.2f s %6.2f CPU %5d MB   new/old %.2fx wall %.2fx CPU\n",
              w, nt, nc, med(m["new"], n["new"]) / 1024, ot, oc,
              med(m["old"], n["old"]) / 1024, nt / ot, nc / oc }'
    if ! cmp -s "$out.new" "$out.old"; then
      echo "DIFFERENT: $word writes other bytes than the baseline"
      status=1
    fi
  done
fi
rm -f "$out".*
exit "$status"
