# Sourced by the benchmark scripts: the built tools, the working folder, the
# list files they share and the measuring of runs. Leaves the shell at the
# project's root with LC_ALL=C, so that no tool folds case or collates.

name=$(basename "$0")
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${BUILD:-build}
cli=$build/karvello-cli
gen=$build/bench/gen_list_file
work=${PEERS_DIR:-$build/peers}
stats=bench/runstats.py

for tool in "$cli" "$gen"; do
  if [ ! -x "$tool" ]; then
    echo "$name: $tool is missing; run 'make build' first" >&2
    exit 1
  fi
done

export LC_ALL=C
mkdir -p "$work"

# Sets `list` and `other` to the shared files for $1 lines, writing them if
# they are not there yet: $1 items of about 19 bytes, 43% distinct, and an
# OTHER of $1 / 10 items, half of which occur in the list.
peer_lists() {
  local lines=$1 distinct other_lines
  list=$work/list-$lines.txt
  other=$work/other-$lines.txt
  if [ ! -s "$list" ] || [ ! -s "$other" ]; then
    echo "$name: generating $lines items and an OTHER of $((lines / 10))"
    distinct=$((lines * 43 / 100))
    other_lines=$((lines / 10))
    "$gen" "$lines" "$distinct" 1 >"$list"
    # Text numbers from distinct - other_lines / 2 on: half of OTHER occurs
    # in the list, half does not.
    "$gen" "$other_lines" "$other_lines" 2 $((distinct - other_lines / 2)) \
      >"$other"
  fi
}

# Medians over $1 runs of the command $2... (see runstats.py): wall s, peak
# KiB, bytes written, minor faults, CPU s.
medians() {
  local count=$1 r
  shift
  for ((r = 0; r < count; r++)); do "$stats" "$@"; done |
    gawk '{ for (f = 1; f <= 5; ++f) v[f][NR] = $f }
          END { h = int((NR + 1) / 2)
                for (f = 1; f <= 5; ++f) { asort(v[f]); m[f] = v[f][h] }
                printf "%.3f %d %d %d %.3f\n", m[1], m[2], m[3], m[4], m[5] }'
}
