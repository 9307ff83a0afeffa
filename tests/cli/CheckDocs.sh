#!/usr/bin/env bash
# Checks the man page ($2) and the bash completion ($3) of karvello-cli ($1)
# against the tool's own usage and help, which it builds from its table of
# operations and flags: every command with its argument, and every option of
# every command, is documented and completed, and nothing else is offered.
set -uo pipefail

cli=$(realpath "$1") man=$(realpath "$2") completion=$(realpath "$3")
source /usr/share/bash-completion/bash_completion
source "$completion"
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
touch list.txt
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

# What the completion offers for the command line "$1", sorted, one line.
offers() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _karvello_cli karvello-cli "${COMP_WORDS[COMP_CWORD]}" \
    "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}
# `name` as a man page writes it: every hyphen escaped.
roff() { printf '%s' "${1//-/\\-}"; }

# The usage lines: "  remove-with STRING   Remove the items ...".
commands=()
while read -r name argument _; do
  commands+=("$name")
  [[ $argument =~ ^[A-Z]+$ ]] || argument=""
  if [ -n "$argument" ]; then
    grep -qxF ".BI $(roff "$name") \" $argument\"" "$man" ||
      fail "man page: no .BI $name \" $argument\""
    # STRING is free text; OTHER is a list file.
    want=$([ "$argument" = OTHER ] && echo list.txt)
    [ "$(offers "karvello-cli $name l")" = "$want" ] ||
      fail "completion offers the wrong words for the $argument of $name"
    [ "$(offers "karvello-cli $name x l")" = list.txt ] ||
      fail "completion offers no FILE after the $argument of $name"
  else
    grep -qxF ".B $(roff "$name")" "$man" || fail "man page: no .B $name"
  fi
  options=$("$cli" "$name" --help | sed -n 's/^  \(-[a-z],\)\?\(--[a-z-]*\).*/\2/p')
  for option in $options; do
    grep -qF "$(roff "$option")" "$man" || fail "man page: no $option"
  done
  want=$(printf '%s\n' $options -o | sort | xargs)
  got=$(offers "karvello-cli $name -")
  [ "$got" = "$want" ] || fail "$name offers '$got', its help '$want'"
done < <("$cli" 2>&1 | sed -n '/^Usage/,/^Options/s/^  \([a-z]\)/\1/p')

[ ${#commands[@]} -ge 8 ] || fail "no commands read from the usage"
want=$(printf '%s\n' "${commands[@]}" --help --version | sort | xargs)
got=$(offers "karvello-cli ")
[ "$got" = "$want" ] || fail "commands offered '$got', the usage's '$want'"
exit $failed
