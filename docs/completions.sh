#!/usr/bin/env bash
# Writes the zsh and fish completions of karvello-cli ($1) into the folder
# $2, as _karvello-cli and karvello-cli.fish, from the tool's own usage and
# per-command help, which it builds from its table of operations and
# options: a command or an option added there is completed without a word
# written here.
set -euo pipefail

cli=$1 out=$2
mkdir -p "$out"

# The usage lines "  remove-with STRING   Remove the items ..." give each
# command, its argument and its summary.
commands=() arguments=() summaries=()
while read -r name argument summary; do
  if ! [[ $argument =~ ^[A-Z]+$ ]]; then
    summary="$argument $summary"
    argument=""
  fi
  commands+=("$name") arguments+=("$argument") summaries+=("$summary")
done < <("$cli" 2>&1 | sed -n '/^Usage/,/^Options/s/^  \([a-z]\)/\1/p')
if [ ${#commands[@]} -eq 0 ]; then
  echo "completions.sh: no commands in the usage of $cli" >&2
  exit 1
fi

# The options of command $1, one per line: short name (or nothing), long
# name, the value's name (or nothing), and the help's first clause, which is
# what a completion menu has room for.
options() {
  "$cli" "$1" --help |
    sed -n 's/^  \(-[a-z],\)\?\(--[a-z-]*\)\( [A-Z][A-Z]*\)\? \{2,\}\(.*\)$/\1|\2|\3|\4/p' |
    grep -v '^-h,|--help|' |
    sed 's/^-\([a-z]\),/\1/; s/| \([A-Z]*\)|/|\1|/; s/\(; \| (\|: \).*//'
}

# The completion of an option's value: files for OUT, folders for DIR,
# nothing for the rest (a size, a number, a byte).
zsh_value() {
  case $1 in
    OUT) echo "_files" ;;
    DIR) echo "_files -/" ;;
    *) echo " " ;;
  esac
}
# Text made safe inside '...' of zsh, and inside [...] of _arguments.
zsh_quote() {
  local text=${1//\'/\'\\\'\'}
  text=${text//[/\\[}
  text=${text//]/\\]}
  text=${text//:/\\:}
  printf '%s' "$text"
}

{
  echo '#compdef karvello-cli'
  echo '# zsh completion for karvello-cli, written from its help by'
  echo '# docs/completions.sh.'
  echo
  echo 'local -a commands top entries'
  echo 'commands=('
  for i in "${!commands[@]}"; do
    echo "  '${commands[i]}:$(zsh_quote "${summaries[i]}")'"
  done
  echo ')'
  echo "top=('--help:Show the commands and options' '--version:Show the version')"
  echo 'if (( CURRENT == 2 )); then'
  echo '  _describe -t commands command commands -- top'
  echo '  return'
  echo 'fi'
  echo 'case $words[2] in'
  for i in "${!commands[@]}"; do
    echo "  ${commands[i]})"
    echo "    entries=("
    echo "      '(- *)--help[Show the help of this command]'"
    while IFS='|' read -r short long value help; do
      entry="[$(zsh_quote "$help")]"
      [ -n "$value" ] && entry+=":$value:$(zsh_value "$value")"
      if [ -n "$short" ]; then
        echo "      '(-$short $long)'{-$short,$long}'$entry'"
      else
        echo "      '$long$entry'"
      fi
    done < <(options "${commands[i]}")
    case ${arguments[i]} in
      STRING) echo "      '1:STRING: '" ;;
      OTHER) echo "      '1:OTHER:_files'" ;;
    esac
    echo "      '*:FILE:_files'"
    echo "    ) ;;"
  done
  echo '  *) return 1 ;;'
  echo 'esac'
  echo '# The command is to _arguments what the program name is to a command.'
  echo 'shift words'
  echo '(( CURRENT-- ))'
  echo '_arguments -s -S : $entries'
} >"$out/_karvello-cli"

# Text made safe inside '...' of fish.
fish_quote() {
  local text=${1//\\/\\\\}
  printf '%s' "${text//\'/\\\'}"
}

{
  echo '# fish completion for karvello-cli, written from its help by'
  echo '# docs/completions.sh.'
  echo
  echo 'complete -c karvello-cli -f'
  echo "set -l commands ${commands[*]}"
  echo 'complete -c karvello-cli -n "not __fish_seen_subcommand_from $commands" -l help -d "Show the commands and options"'
  echo 'complete -c karvello-cli -n "not __fish_seen_subcommand_from $commands" -l version -d "Show the version"'
  for i in "${!commands[@]}"; do
    command=${commands[i]}
    echo "complete -c karvello-cli -n \"not __fish_seen_subcommand_from \$commands\" -a $command -d '$(fish_quote "${summaries[i]}")'"
    when="__fish_seen_subcommand_from $command"
    echo "complete -c karvello-cli -n '$when' -l help -d 'Show the help of this command'"
    while IFS='|' read -r short long value help; do
      line="complete -c karvello-cli -n '$when'"
      [ -n "$short" ] && line+=" -s $short"
      line+=" -l ${long#--}"
      case $value in
        "") ;;
        OUT) line+=" -r -F" ;;
        DIR) line+=" -r -a '(__fish_complete_directories)'" ;;
        *) line+=" -x" ;;
      esac
      echo "$line -d '$(fish_quote "$help")'"
    done < <(options "$command")
    # STRING is free text; OTHER and every FILE are list files.
    if [ "${arguments[i]}" = STRING ]; then
      echo "complete -c karvello-cli -n '$when; and __karvello_cli_after_string' -F"
    else
      echo "complete -c karvello-cli -n '$when' -F"
    fi
  done
  # The options that take a value, whose value is no STRING.
  valued=$(for command in "${commands[@]}"; do options "$command"; done |
    awk -F'|' '$3 != "" { if ($1 != "") print "-" $1; print $2 }' | sort -u |
    paste -sd'|')
  cat <<FISH
# True when the word being completed is not the STRING of remove-with or
# remove-without: some word that is neither an option nor an option's
# value stands after the command.
function __karvello_cli_after_string
    set -l words (commandline -opc)
    set -e words[1..2]
    set -l skip 0
    for word in \$words
        if test \$skip = 1
            set skip 0
        else if string match -qr -- '^($valued)\$' \$word
            set skip 1
        else if not string match -q -- '-*' \$word
            return 0
        end
    end
    return 1
end
FISH
} >"$out/karvello-cli.fish"
