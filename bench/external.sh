#!/usr/bin/env bash
# Times karvello-cli's external mode against `sort -u` given the same memory,
# in one run, and prints the ratios:
#   dedupe    karvello-cli dedupe --memory B   vs  LC_ALL=C sort -u -S B
#   subtract  karvello-cli subtract --memory B (for the record)
#   count     karvello-cli dedupe --count --memory B
#                                       vs  sort -S B | uniq -c
# on the 10-million-line file of bench/peers.sh, with B a quarter of its size,
# both spilling to the same folder. Peak memory is the resident size
# (ru_maxrss); spill bytes are what each tool wrote less its output.
# Checks that the two tools keep the same set of texts, and count them alike.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 3) sets
# how many runs give each median; PEERS_LINES scales the file down;
# EXTERNAL_TMP is the spill folder (default: build/peers/spill).
set -euo pipefail

source "$(dirname "$0")/common.sh"
runs=${RUNS:-3}
spill=${EXTERNAL_TMP:-$work/spill}
mkdir -p "$spill"
peer_lists "${PEERS_LINES:-10000000}"
size=$(stat -c %s "$list")
budget_mb=$(((size / 4 + (1 << 20) - 1) >> 20))
budget=${budget_mb}M
echo "$name: $list ($size bytes), budget $budget, spill folder $spill"

out=$work/external-out
read -r k_time k_kb k_written _ _ < <(medians "$runs" "$cli" dedupe --lf \
  --memory "$budget" --temp-dir "$spill" "$list" -o "$out.k")
read -r s_time s_kb s_written _ _ < <(medians "$runs" sort -u -S "$budget" -T "$spill" \
  "$list" -o "$out.s")
read -r ks_time ks_kb ks_written _ _ < <(medians "$runs" "$cli" subtract \
  "$other" --lf --memory "$budget" --temp-dir "$spill" "$list" -o "$out.ks")
read -r kc_time kc_kb kc_written _ _ < <(medians "$runs" "$cli" dedupe \
  --count --lf --memory "$budget" --temp-dir "$spill" "$list" -o "$out.kc")
read -r sc_time sc_kb sc_written _ _ < <(medians "$runs" sh -c \
  'sort -S "$1" -T "$2" "$3" | uniq -c >"$4"' sh "$budget" "$spill" "$list" \
  "$out.sc")
k_spill=$((k_written - $(stat -c %s "$out.k")))
s_spill=$((s_written - $(stat -c %s "$out.s")))
ks_spill=$((ks_written - $(stat -c %s "$out.ks")))
kc_spill=$((kc_written - $(stat -c %s "$out.kc")))
sc_spill=$((sc_written - $(stat -c %s "$out.sc")))

status=0
if sort -u "$out.k" | cmp -s - "$out.s"; then
  echo "dedupe keeps the texts sort -u keeps"
else
  echo "DIFFERENT: karvello-cli dedupe and sort -u keep different texts"
  status=1
fi
if gawk -F '\t' '{ print $2 " " $1 }' "$out.kc" | sort |
  cmp -s - <(gawk '{ print $1 " " $2 }' "$out.sc" | sort); then
  echo "dedupe --count counts as uniq -c does"
else
  echo "DIFFERENT: karvello-cli dedupe --count and uniq -c count differently"
  status=1
fi
budget_kb=$((budget_mb * 1024))
printf '%-44s %8s s %7d MB peak %7d MB spilled\n' \
  "karvello-cli dedupe --memory $budget" "$k_time" $((k_kb / 1024)) \
  $((k_spill >> 20)) \
  "sort -u -S $budget" "$s_time" $((s_kb / 1024)) $((s_spill >> 20)) \
  "karvello-cli subtract --memory $budget" "$ks_time" $((ks_kb / 1024)) \
  $((ks_spill >> 20)) \
  "karvello-cli dedupe --count --memory $budget" "$kc_time" \
  $((kc_kb / 1024)) $((kc_spill >> 20)) \
  "sort -S $budget | uniq -c" "$sc_time" $((sc_kb / 1024)) \
  $((sc_spill >> 20))
speed=$(awk -v a="$s_time" -v b="$k_time" 'BEGIN { printf "%.1f", a / b }')
echo "dedupe vs sort -u: ${speed}x  (target >= 2x: $(awk -v v="$speed" \
  'BEGIN { print v >= 2 ? "met" : "MISSED" }'))"
echo "dedupe --count vs sort | uniq -c: $(awk -v a="$sc_time" -v b="$kc_time" \
  'BEGIN { printf "%.1f", a / b }')x"
echo "dedupe peak: $((k_kb / 1024)) MB for a budget of $budget  (target <= \
budget + 64 MB: $( ((k_kb <= budget_kb + 65536)) && echo met || echo MISSED))"
rm -f "$out".*
exit "$status"
