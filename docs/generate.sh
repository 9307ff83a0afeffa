#!/usr/bin/env bash
# Writes the man page and the bash, zsh and fish completions of
# karvello-cli ($1) into the folder $2 (karvello-cli.1, karvello-cli.bash,
# _karvello-cli, karvello-cli.fish) from the tool's own tables of
# operations and options, which it prints with --tables-for-docs: a command
# or an option added there is documented and completed without a word
# written here. The man page's prose comes from $3, karvello-cli.1.in, whose
# lines "@SYNOPSIS@" and "@COMMANDS@" stand for the generated parts.
set -euo pipefail

cli=$1 out=$2 man_in=$3
mkdir -p "$out"
# Fields split by the unit separator: empty ones stay fields.
tables=$("$cli" --tables-for-docs | tr '\t' '\037')

commands=() arguments=() summaries=()
while IFS=$'\037' read -r kind name argument summary; do
  [ "$kind" = command ] || continue
  commands+=("$name") arguments+=("$argument") summaries+=("$summary")
done <<<"$tables"
if [ ${#commands[@]} -eq 0 ]; then
  echo "generate.sh: no commands in the tables of $cli" >&2
  exit 1
fi

# The options of command $1, one per line: short name (or nothing), long
# name, the value's name (or nothing), and the help's first clause, which is
# what a completion menu has room for.
options() {
  awk -F'\037' -v c="$1" '$1 == "option" && $2 == c { print $3 "|" $4 "|" $5 "|" $6 }' <<<"$tables" |
    sed 's/\(; \| (\|: \).*//'
}
# Every option once: short, long, value, the commands it is for, its help.
flags() { awk -F'\037' '$1 == "flag" { print $2 "|" $3 "|" $4 "|" $5 "|" $6 }' <<<"$tables"; }

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
  echo '# zsh completion for karvello-cli, written from its tables by'
  echo '# docs/generate.sh.'
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
  echo '# fish completion for karvello-cli, written from its tables by'
  echo '# docs/generate.sh.'
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

# bash: the commands, each command's options, and which options take a
# value that is a file, a folder or neither.
{
  echo '# bash completion for karvello-cli, written from its tables by'
  echo '# docs/generate.sh.'
  echo
  echo '_karvello_cli() {'
  echo '  local cur prev words cword'
  echo '  _init_completion -s || return'
  echo "  local commands=\"${commands[*]}\""
  cat <<'BASH'
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
BASH
  valued() { flags | awk -F'|' -v v="$1" '$3 ~ v { if ($1 != "") printf "-%s|", $1; printf "%s|", $2 }' | sed 's/|$//'; }
  echo '  case $prev in'
  echo "    $(valued '^OUT$')) _filedir; return ;;"
  echo "    $(valued '^DIR$')) _filedir -d; return ;;"
  echo "    $(valued '^(SIZE|N|C)$')) return ;;"
  echo '  esac'
  echo '  if [[ $cur == -* ]]; then'
  echo '    local options=""'
  echo '    case $command in'
  for command in "${commands[@]}"; do
    echo "      $command) options=\"$(options "$command" | awk -F'|' '{ if ($1 != "") printf "-%s ", $1; printf "%s ", $2 }')--help\" ;;"
  done
  echo '    esac'
  echo '    COMPREPLY=($(compgen -W "$options" -- "$cur"))'
  echo '    return'
  echo '  fi'
  takes_string=$(for i in "${!commands[@]}"; do
    if [ "${arguments[i]}" = STRING ]; then echo "${commands[i]}"; fi
  done | paste -sd'|')
  echo '  # STRING, the first word after the command that is neither an option'
  echo "  # nor an option's value, is free text; every other word is a list file."
  echo '  case $command in'
  echo "    $takes_string)"
  echo '      local j words_before=0'
  echo '      for ((j = i + 1; j < cword; j++)); do'
  echo '        case ${words[j]} in'
  echo "          $(flags | awk -F'|' '$3 != "" { if ($1 != "") printf "-%s|", $1; printf "%s|", $2 }' | sed 's/|$//')) ((j++)) ;;"
  echo '          -*) ;;'
  echo '          *) ((words_before++)) ;;'
  echo '        esac'
  echo '      done'
  echo '      ((words_before == 0)) && return'
  echo '      ;;'
  echo '  esac'
  echo '  _filedir'
  echo '}'
  echo 'complete -F _karvello_cli karvello-cli'
} >"$out/karvello-cli.bash"

# The man page: its prose with the synopsis's options and the commands,
# each with its options, put in.
roff() { printf '%s' "${1//-/\\-}"; }
synopsis() {
  flags | while IFS='|' read -r short long value _ _; do
    name=$long
    [ -n "$short" ] && name="-$short"
    if [ -n "$value" ]; then
      echo ".RB [ $(roff "$name")"
      echo ".IR $value ]"
    else
      echo ".RB [ $(roff "$name") ]"
    fi
  done
}
man_commands() {
  for i in "${!commands[@]}"; do
    echo ".TP"
    if [ -n "${arguments[i]}" ]; then
      echo ".BI $(roff "${commands[i]}") \" ${arguments[i]}\""
    else
      echo ".B $(roff "${commands[i]}")"
    fi
    echo "${summaries[i]}."
    echo "Options:"
    options "${commands[i]}" | awk -F'|' '{ printf "%s%s", (NR > 1 ? ", " : ""), $2 }' |
      sed 's/-/\\-/g'
    echo "."
  done
}
while IFS= read -r line; do
  case $line in
    @SYNOPSIS@) synopsis ;;
    @COMMANDS@) man_commands ;;
    *) printf '%s\n' "$line" ;;
  esac
done <"$man_in" >"$out/karvello-cli.1"
