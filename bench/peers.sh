#!/usr/bin/env bash
# Times karvello-cli against the usual shell tools and against DuckDB on the
# same files, in one run, and prints the ratios:
#   dedupe    karvello-cli dedupe --lf   vs  gawk and mawk '!seen[$0]++',
#             sort -u, and DuckDB (bench/duckdb-peer.cjs)
#   subtract  karvello-cli subtract --lf vs  grep -vxFf OTHER, and DuckDB
#   sort      karvello-cli sort --lf     vs  LC_ALL=C sort -S2G --parallel=2,
#             its output checked against LC_ALL=C sort -s
#   load      reading the file into a list (gen_list_file --time-load)
#   memory    peak resident size of the dedupe run (/usr/bin/time -f %M)
# and checks that karvello-cli's output equals the awks', grep's and
# DuckDB's byte for byte. The file: 10 million items of about 19 bytes, 43%
# distinct; OTHER: 1 million items, half of them in the file.
#
# DuckDB is optional: its Node.js package @duckdb/node-api (prebuilt, no
# build step) is installed from the npm registry into $BUILD/duckdb on the
# first run, and skipped with a message where npm is missing or the install
# fails. DUCKDB=0 skips it.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 3) sets
# how many runs give each median; grep, which takes minutes, runs GREP_RUNS
# times (default 1). PEERS_LINES scales the file down for a quick look.
# BASELINE=path/to/karvello-cli (another build, an earlier commit's) times
# its dedupe and subtract too, run for run beside this build's, and prints
# both against DuckDB and the ratios new/old, with the peaks.
set -euo pipefail

source "$(dirname "$0")/common.sh"
runs=${RUNS:-3}
grep_runs=${GREP_RUNS:-1}
lines=${PEERS_LINES:-10000000}
for tool in gawk mawk sort grep /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "$name: $tool is missing; run scripts/install-deps" >&2
    exit 1
  fi
done

# Sets duckdb_modules to a node_modules folder holding @duckdb/node-api,
# installing it there first if need be; fails with a message when it cannot.
duckdb_version=1.5.6-r.1
duckdb_ready() {
  local prefix=$build/duckdb installed
  if [ "${DUCKDB:-1}" = 0 ]; then
    echo "$name: DUCKDB=0: DuckDB skipped"
    return 1
  fi
  for tool in npm node; do
    if ! command -v "$tool" >/dev/null; then
      echo "$name: $tool is missing: DuckDB skipped"
      return 1
    fi
  done
  mkdir -p "$prefix"
  duckdb_modules=$(realpath "$prefix")/node_modules
  installed=$(cat "$duckdb_modules/@duckdb/node-api/package.json" 2>/dev/null |
    sed -n 's/^ *"version": "\(.*\)",$/\1/p')
  if [ "$installed" != "$duckdb_version" ]; then
    echo "$name: installing @duckdb/node-api@$duckdb_version into $prefix"
    if ! npm install --prefix "$prefix" --no-save --no-package-lock \
      --no-audit --no-fund --loglevel=error \
      "@duckdb/node-api@$duckdb_version" >&2; then
      echo "$name: npm install failed: DuckDB skipped"
      return 1
    fi
  fi
}

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
m_dedupe=$(median "$runs" "mawk '!seen[\$0]++' '$list' >'$out.mawk'")
s_dedupe=$(median "$runs" "sort -u '$list' >'$out.sort'")
k_subtract=$(median "$runs" \
  "'$cli' subtract '$other' '$list' --lf >'$out.k-subtract'")
m_subtract=$(median "$runs" \
  "mawk 'NR == FNR { drop[\$0]; next } !(\$0 in drop)' '$other' '$list' >'$out.mawk-subtract'")
g_subtract=$(median "$grep_runs" "grep -vxFf '$other' '$list' >'$out.grep' || true")
d_dedupe=
d_subtract=
if duckdb_ready; then
  peer="DUCKDB_MODULES='$duckdb_modules' node bench/duckdb-peer.cjs"
  d_dedupe=$(median "$runs" "$peer dedupe '$list' '$out.duckdb'")
  d_subtract=$(median "$runs" \
    "$peer subtract '$other' '$list' '$out.duckdb-subtract'")
fi
k_sort=$(median "$runs" "'$cli' sort --lf '$list' >'$out.k-sort'")
s_sort=$(median "$runs" "sort -S2G --parallel=2 '$list' >/dev/null")
sort -s "$list" >"$out.sort-s"
sort_peak_kb=$( { /usr/bin/time -f %M "$cli" sort --lf "$list" >/dev/null; } 2>&1 | tail -n 1)
file_kb=$(($(stat -c %s "$list") / 1024))
load=$("$gen" --time-load "$list" "$runs" | cut -d' ' -f1)
peak_kb=$( { /usr/bin/time -f %M "$cli" dedupe --lf "$list" >/dev/null; } 2>&1 | tail -n 1)
peak_mb=$((peak_kb / 1024))

same=0
# Compares karvello-cli's output of the operation $1 with the peer $3's
# output $2.
compare() {
  if cmp -s "$out.k-$1" "$2"; then
    echo "$1 output equals $3's byte for byte"
  else
    echo "DIFFERENT: karvello-cli $1 and $3"
    same=1
  fi
}
compare dedupe "$out.gawk" gawk
compare dedupe "$out.mawk" mawk
compare subtract "$out.mawk-subtract" mawk
compare subtract "$out.grep" "grep -vxFf"
compare sort "$out.sort-s" "sort -s"
if [ -n "$d_dedupe" ]; then
  compare dedupe "$out.duckdb" DuckDB
  compare subtract "$out.duckdb-subtract" DuckDB
fi

printf '%-40s %8s s\n' "karvello-cli dedupe --lf" "$k_dedupe" \
  "gawk '!seen[\$0]++'" "$g_dedupe" "mawk '!seen[\$0]++'" "$m_dedupe" \
  "sort -u" "$s_dedupe" \
  "karvello-cli subtract OTHER --lf" "$k_subtract" \
  "mawk 'NR == FNR {...} !(\$0 in drop)'" "$m_subtract" \
  "grep -vxFf OTHER" "$g_subtract" \
  "karvello-cli sort --lf" "$k_sort" "sort -S2G --parallel=2" "$s_sort" \
  "load into a list" "$load"
if [ -n "$d_dedupe" ]; then
  printf '%-40s %8s s\n' "DuckDB dedupe (duckdb-peer.cjs)" "$d_dedupe" \
    "DuckDB subtract (duckdb-peer.cjs)" "$d_subtract"
fi
dedupe_vs_gawk=$(ratio "$g_dedupe" "$k_dedupe")
dedupe_vs_sort=$(ratio "$s_dedupe" "$k_dedupe")
subtract_vs_grep=$(ratio "$g_subtract" "$k_subtract")
echo "dedupe vs gawk:      ${dedupe_vs_gawk}x  (target >= 10x: $(verdict "$dedupe_vs_gawk" 10 min))"
echo "dedupe vs mawk:      $(ratio "$m_dedupe" "$k_dedupe")x"
echo "dedupe vs sort -u:   ${dedupe_vs_sort}x  (target >= 5x: $(verdict "$dedupe_vs_sort" 5 min))"
echo "subtract vs mawk:    $(ratio "$m_subtract" "$k_subtract")x"
echo "subtract vs grep:    ${subtract_vs_grep}x  (target >= 10x: $(verdict "$subtract_vs_grep" 10 min))"
if [ -n "$d_dedupe" ]; then
  echo "dedupe vs DuckDB:    $(ratio "$d_dedupe" "$k_dedupe")x"
  echo "subtract vs DuckDB:  $(ratio "$d_subtract" "$k_subtract")x"
fi
sort_vs_sort=$(ratio "$s_sort" "$k_sort")
echo "sort vs sort:        ${sort_vs_sort}x  (target >= 2x: $(verdict "$sort_vs_sort" 2 min))"
echo "sort peak RSS:       $((sort_peak_kb / 1024)) MB, the file $((file_kb / 1024)) MB  (target <= the file: $(verdict "$sort_peak_kb" "$file_kb" max))"
echo "load:                ${load} s  (target <= 0.5 s: $(verdict "$load" 0.5 max))"
echo "dedupe peak RSS:     ${peak_mb} MB  (target <= 700 MB: $(verdict "$peak_mb" 700 max))"

# The baseline, each command timed right after this build's, in one run.
if [ -n "${BASELINE:-}" ]; then
  echo "against $BASELINE (medians of $runs, wall s, CPU s, peak MB):"
  for command in "dedupe --lf $list" "subtract $other $list --lf"; do
    word=${command%% *}
    peer=${d_dedupe:-0}
    [ "$word" = subtract ] && peer=${d_subtract:-0}
    for ((r = 0; r < runs; r++)); do
      "$stats" -o "$out.new" "$cli" $command | sed 's/^/new /'
      "$stats" -o "$out.old" "$BASELINE" $command | sed 's/^/old /'
    done | gawk -v w="$word" -v peer="$peer" '
      { t[$1][++n[$1]] = $2; m[$1][n[$1]] = $3; c[$1][n[$1]] = $6 }
      function med(a, k) { asort(a); return a[int((k + 1) / 2)] }
      END { nt = med(t["new"], n["new"]); ot = med(t["old"], n["old"])
            nc = med(c["new"], n["new"]); oc = med(c["old"], n["old"])
            printf "  %-9s new %6.2f s %6.2f CPU %5d MB   old %6.2f s %6.2f CPU %5d MB   new/old %.2fx wall %.2fx CPU\n",
              w, nt, nc, med(m["new"], n["new"]) / 1024, ot, oc,
              med(m["old"], n["old"]) / 1024, nt / ot, nc / oc
            if (peer > 0) printf "  %-9s vs DuckDB: new %.1fx, old %.1fx\n", w, peer / nt, peer / ot }'
    if ! cmp -s "$out.new" "$out.old"; then
      echo "DIFFERENT: $word writes other bytes than the baseline"
      same=1
    fi
  done
fi
rm -f "$out".*
exit "$same"
