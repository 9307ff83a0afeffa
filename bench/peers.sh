#!/usr/bin/env bash
# Times karvello-cli against the usual shell tools on the same files, in one
# run, and prints the ratios:
#   dedupe    karvello-cli dedupe --lf   vs  gawk '!seen[$0]++'  and  sort -u
#   subtract  karvello-cli subtract --lf vs  grep -vxFf OTHER
#   load      reading the file into a list (gen_list_file --time-load)
#   memory    peak resident size of the dedupe run (/usr/bin/time -f %M)
# and checks that karvello-cli's output equals gawk's and grep's byte for
# byte. The file: 10 million items of about 19 bytes, 43% distinct; OTHER:
# 1 million items, half of them in the file.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 3) sets
# how many runs give each median; grep, which takes minutes, runs GREP_RUNS
# times (default 1). PEERS_LINES scales the file down for a quick look.
set -euo pipefail

source "$(dirname "$0")/common.sh"
runs=${RUNS:-3}
grep_runs=${GREP_RUNS:-1}
lines=${PEERS_LINES:-10000000}
for tool in gawk sort grep /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "$name: $tool is missing; run scripts/install-deps" >&2
    exit 1
  fi
done

peer_lists "$lines"
echo "$name: $list ($(stat -c %s "$list") bytes), $other"

# Median wall time in seconds of running the shell command $2, $1 times.
median() {
  local count=$1 command=$2 times=() start stop
  for ((r = 0; r < count; r++)); do
    start=$(date +%s%N)
    bash -c "$command" || {
      echo "$name: failed: $command" >&2
      exit 1
    }
    stop=$(date +%s%N)
    times+=("$(((stop - start) / 1000000))")
  done
  printf '%s\n' "${times[@]}" | sort -n |
    awk '{ t[NR] = $1 } END { printf "%.3f\n", t[int((NR + 1) / 2)] / 1000 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
verdict() { awk -v v="$1" -v t="$2" -v dir="$3" \
  'BEGIN { ok = dir == "min" ? v >= t : v <= t; print ok ? "met" : "MISSED" }'; }

out=$work/out
k_dedupe=$(median "$runs" "'$cli' dedupe --lf '$list' >'$out.k-dedupe'")
g_dedupe=$(median "$runs" "gawk '!seen[\$0]++' '$list' >'$out.gawk'")
s_dedupe=$(median "$runs" "sort -u '$list' >'$out.sort'")
k_subtract=$(median "$runs" \
  "'$cli' subtract '$other' '$list' --lf >'$out.k-subtract'")
g_subtract=$(median "$grep_runs" "grep -vxFf '$other' '$list' >'$out.grep' || true")
load=$("$gen" --time-load "$list" "$runs" | cut -d' ' -f1)
peak_kb=$( { /usr/bin/time -f %M "$cli" dedupe --lf "$list" >/dev/null; } 2>&1 | tail -n 1)
peak_mb=$((peak_kb / 1024))

same=0
if cmp -s "$out.k-dedupe" "$out.gawk"; then
  echo "dedupe output equals gawk's byte for byte"
else
  echo "DIFFERENT: karvello-cli dedupe and gawk"
  same=1
fi
if cmp -s "$out.k-subtract" "$out.grep"; then
  echo "subtract output equals grep's byte for byte"
else
  echo "DIFFERENT: karvello-cli subtract and grep -vxFf"
  same=1
fi

dedupe_vs_gawk=$(ratio "$g_dedupe" "$k_dedupe")
dedupe_vs_sort=$(ratio "$s_dedupe" "$k_dedupe")
subtract_vs_grep=$(ratio "$g_subtract" "$k_subtract")
printf '%-34s %8s s\n' "karvello-cli dedupe --lf" "$k_dedupe" \
  "gawk '!seen[\$0]++'" "$g_dedupe" "sort -u" "$s_dedupe" \
  "karvello-cli subtract OTHER --lf" "$k_subtract" \
  "grep -vxFf OTHER" "$g_subtract" "load into a list" "$load"
echo "dedupe vs gawk:    ${dedupe_vs_gawk}x  (target >= 10x: $(verdict "$dedupe_vs_gawk" 10 min))"
echo "dedupe vs sort -u: ${dedupe_vs_sort}x  (target >= 5x: $(verdict "$dedupe_vs_sort" 5 min))"
echo "subtract vs grep:  ${subtract_vs_grep}x  (target >= 10x: $(verdict "$subtract_vs_grep" 10 min))"
echo "load:              ${load} s  (target <= 0.5 s: $(verdict "$load" 0.5 max))"
echo "dedupe peak RSS:   ${peak_mb} MB  (target <= 700 MB: $(verdict "$peak_mb" 700 max))"
rm -f "$out".*
exit "$same"
