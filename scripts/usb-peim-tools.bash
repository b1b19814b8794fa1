# Bash completion for peim-sim, fvtool, pe-check and pe-compact: options as
# each tool's own --help names them (fvtool's per subcommand), fvtool's
# subcommands, and file names elsewhere. Installed under each tool's name in
# bash-completion's completions folder; `source` it to use it directly.

# The options a help text names: words starting with - or -- at the start
# of a line or after a blank or comma, up to '=', ',' or a blank.
_usb_peim_tools_options() {
  "$@" --help 2>/dev/null |
    grep -oE '(^|[[:space:],])--?[A-Za-z][A-Za-z0-9-]*' |
    sed -E 's/^[[:space:],]*//' | sort -u
}

_usb_peim_tools() {
  local cur=${COMP_WORDS[COMP_CWORD]} cmd=${COMP_WORDS[0]} words
  COMPREPLY=()
  if [[ ${cmd##*/} == fvtool && $COMP_CWORD -eq 1 && $cur != -* ]]; then
    # The subcommands: the first word of each line of the Subcommands block.
    words=$("$cmd" --help 2>/dev/null |
      sed -n '/^Subcommands:/,/^$/{/^  [a-z]/{s/^  \([a-z-]*\).*/\1/;p}}')
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
  elif [[ $cur == -* ]]; then
    if [[ ${cmd##*/} == fvtool && $COMP_CWORD -gt 1 && ${COMP_WORDS[1]} != -* ]]; then
      words=$(_usb_peim_tools_options "$cmd" "${COMP_WORDS[1]}")
    else
      words=$(_usb_peim_tools_options "$cmd")
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}

complete -o filenames -F _usb_peim_tools peim-sim fvtool pe-check pe-compact
