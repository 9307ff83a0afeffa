#!/usr/bin/env bash
# Drives the bash completion of karvello-cli ($1) as bash would, word by
# word, and checks what it offers.
set -uo pipefail

source /usr/share/bash-completion/bash_completion
source "$1"
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
touch list.txt other.txt
failed=0

# Completes the command line "$1" (the last word is completed) and compares
# the sorted offers with "$2".
expect() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _karvello_cli karvello-cli "${COMP_WORDS[COMP_CWORD]}" \
    "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [ "$got" != "$2" ]; then
    echo "FAIL: '$1' offers '$got', expected '$2'" >&2
    failed=1
  fi
}

expect "karvello-cli de" "dedupe"
expect "karvello-cli remove-" "remove-all-dupes remove-blanks remove-with remove-without"
expect "karvello-cli dedupe --c" "--count"
expect "karvello-cli dedupe --i" "--ignore-case"
expect "karvello-cli subtract --c" ""
expect "karvello-cli cat --" "--help --lf --lines --memory --output --stats --temp-dir"
expect "karvello-cli dedupe --memory " ""
expect "karvello-cli keep-matches --t" "--temp-dir --trim"
expect "karvello-cli dedupe li" "list.txt"
expect "karvello-cli subtract other.txt -o l" "list.txt"
# STRING is free text: no file names offered for it.
expect "karvello-cli remove-with l" ""
expect "karvello-cli remove-with x l" "list.txt"
exit $failed
