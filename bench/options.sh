#!/usr/bin/env bash
# Times each karvello-cli option against the same command without it, on
# the 10-million-item file of bench/peers.sh, with hyperfine, and prints the
# medians and the ratio to the default path:
#   dedupe      --lines, --stats, --ignore-case, --trim, both, --count
#   subtract    --ignore-case --trim
#   remove-with --ignore-case
# A second file, the same items with "É" in front of every third, takes
# --ignore-case through the UTF-8 decoder rather than its ASCII shortcut.
#
# Needs `make build` first (BUILD=build by default). RUNS (default 5) sets
# how many runs give each median; OPTIONS_LINES scales the file down.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${BUILD:-build}
runs=${RUNS:-5}
lines=${OPTIONS_LINES:-10000000}
cli=$build/karvello-cli
gen=$build/bench/gen_list_file
work=${PEERS_DIR:-$build/peers}

for tool in "$cli" "$gen"; do
  if [ ! -x "$tool" ]; then
    echo "options.sh: $tool is missing; run 'make build' first" >&2
    exit 1
  fi
done
if ! command -v hyperfine >/dev/null; then
  echo "options.sh: hyperfine is missing; run scripts/install-deps" >&2
  exit 1
fi

export LC_ALL=C
mkdir -p "$work"
list=$work/list-$lines.txt
other=$work/other-$lines.txt
accents=$work/accents-$lines.txt
if [ ! -s "$list" ] || [ ! -s "$other" ]; then
  distinct=$((lines * 43 / 100))
  other_lines=$((lines / 10))
  "$gen" "$lines" "$distinct" 1 >"$list"
  "$gen" "$other_lines" "$other_lines" 2 $((distinct - other_lines / 2)) \
    >"$other"
fi
if [ ! -s "$accents" ]; then
  awk 'NR % 3 == 0 { printf "\303\211" } { print }' "$list" >"$accents"
fi
echo "options.sh: $list, $(wc -l <"$list") items; $runs runs each"

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
  "$cli subtract $other --lf $list -o $out" \
  "$cli subtract $other --lf --ignore-case --trim $list -o $out"
group \
  "$cli remove-with abc --lf $list -o $out" \
  "$cli remove-with ABC --lf --ignore-case $list -o $out"
