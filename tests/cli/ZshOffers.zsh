# Prints, for each command line after the first argument, what zsh's own
# completion offers for its last word, with the completions of the folder
# $1 in fpath: "== LINE", then the offers, sorted, on one line.
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PS1=; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
# Every match offered is printed instead of shown.
zpty -w z 'compadd() { local -a o; builtin compadd -O o "$@"; (( $#o )) && print -rl -- "${o[@]/#/OFFER:}"; }'
# Completion skips its work while more input is pending, so each line is
# completed by a key of its own that says when it is done.
zpty -w z 'probe() { zle complete-word; print -n "PRO""BED"; }; zle -N probe; bindkey "^T" probe'
# Lines typed while zsh still starts up would be lost.
zpty -w z 'echo REA""DY'
zpty -r z out '*READY*' || exit 2
shift
integer n=0
for line in "$@"; do
  (( n++ ))
  zpty -wn z "$line"$'\C-t'
  zpty -r z out '*PROBED*' || exit 2
  print -r -- "== $line"
  print -r -- ${(j: :)${(ou)${(M)${(f)out//$'\r'/}:#OFFER:*}#OFFER:}}
  zpty -w z $'\C-u'"echo EN\"\"D$n"
  zpty -r z rest "*END$n*" || exit 2
done
zpty -d z
