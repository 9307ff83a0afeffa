#!/usr/bin/env bash
# Checks the man page ($2) and the bash, zsh and fish completions ($3, the
# folder holding _karvello-cli, and $4) of karvello-cli ($1), all written
# from the tool's tables, against the tool's own usage and help: every
# command with its argument, and every option of every command, is
# documented and completed by each shell, and nothing else is offered. The
# completions run in the shells themselves. The README's list of commands
# ("    karvello-cli NAME ...") names every command and no other.
set -uo pipefail

cli=$(realpath "$1") man=$(realpath "$2") bash_completion=$(realpath "$3")
zsh_folder=$(realpath "$4") fish_completion=$(realpath "$5")
zsh_offers=$(realpath "$(dirname "$0")/ZshOffers.zsh")
readme=$(realpath "$(dirname "$0")/../../README.md")
source /usr/share/bash-completion/bash_completion
source "$bash_completion"
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
touch list.txt
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

# What bash offers for the last word of the command line "$1", sorted.
bash_offers() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _karvello_cli karvello-cli "${COMP_WORDS[COMP_CWORD]}" \
    "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | joined
}
# The words on standard input, sorted, on one line (xargs would run
# `echo --help` for a lone --help).
joined() { printf '%s\n' "$(tr -s ' ' '\n' | sed '/^$/d' | sort | paste -sd' ' -)"; }
# `name` as a man page writes it: every hyphen escaped.
roff() { printf '%s' "${1//-/\\-}"; }

# The lines to complete, each with what must be offered.
lines=() wants=()
expect() {
  lines+=("$1")
  wants+=("$2")
}

# The usage lines: "  remove-with STRING   Remove the items ...".
commands=()
while read -r name argument _; do
  commands+=("$name")
  [[ $argument =~ ^[A-Z]+$ ]] || argument=""
  if [ -n "$argument" ]; then
    grep -qxF ".BI $(roff "$name") \" $argument\"" "$man" ||
      fail "man page: no .BI $name \" $argument\""
  else
    grep -qxF ".B $(roff "$name")" "$man" || fail "man page: no .B $name"
  fi
  # STRING is free text, also after an option; OTHER and FILE are files.
  first=$([ "$argument" = STRING ] || echo list.txt)
  expect "karvello-cli $name l" "$first"
  expect "karvello-cli $name --lf l" "$first"
  expect "karvello-cli $name x l" list.txt
  expect "karvello-cli $name -o l" list.txt
  help=$("$cli" "$name" --help)
  options=$(sed -n 's/^  \(-[a-z],\)\?\(--[a-z-]*\).*/\2/p' <<<"$help")
  shorts=$(sed -n 's/^  \(-[a-gi-z]\),.*/\1/p' <<<"$help")
  for option in $options; do
    grep -qF "$(roff "$option")" "$man" || fail "man page: no $option"
  done
  expect "karvello-cli $name -" "$(printf '%s\n' $options $shorts | joined)"
  # A value that is no file: nothing offered.
  for option in $(sed -n 's/^  \(--[a-z-]*\) \(SIZE\|N\|C\) .*/\1/p' <<<"$help"); do
    expect "karvello-cli $name $option " ""
  done
done < <("$cli" 2>&1 | sed -n '/^Usage/,/^Options/s/^  \([a-z]\)/\1/p')

[ ${#commands[@]} -ge 9 ] || fail "no commands read from the usage"
listed=$(sed -n 's/^    karvello-cli \([a-z-]*\) .*\[FILE\.\.\.\].*/\1/p' "$readme" | joined)
[ "$listed" = "$(printf '%s\n' "${commands[@]}" | joined)" ] ||
  fail "README lists the commands '$listed', the usage '${commands[*]}'"
expect "karvello-cli " "$(printf '%s\n' "${commands[@]}" | joined)"
expect "karvello-cli --" "--help --version"

# Each shell's offers for every line, in order, one per line.
offers() {
  case $1 in
    bash) for line in "${lines[@]}"; do bash_offers "$line"; done ;;
    zsh) zsh -f "$zsh_offers" "$zsh_folder" "${lines[@]}" | sed -n 'n;p' ;;
    fish)
      for line in "${lines[@]}"; do
        fish -c "source '$fish_completion'; complete -C '$line'" |
          cut -f1 | joined
      done
      ;;
  esac
}
for shell in bash zsh fish; do
  if ! command -v "$shell" >/dev/null; then
    fail "$shell is missing; run scripts/install-deps"
    continue
  fi
  mapfile -t got < <(offers "$shell")
  for i in "${!lines[@]}"; do
    offered=${got[i]-}
    # Only fish offers no option until one is begun.
    [ "${lines[i]}" = "karvello-cli " ] && offered=$(tr ' ' '\n' <<<"$offered" | grep -v '^-' | joined)
    [ "$offered" = "${wants[i]}" ] ||
      fail "$shell: '${lines[i]}' offers '$offered', the help '${wants[i]}'"
  done
done
exit $failed
