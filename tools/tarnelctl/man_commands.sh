#!/usr/bin/env bash
# The COMMANDS section of tarnelctl(1), as a help2man include file: each
# subcommand's own --help (found from the "Subcommands:" lists, nested ones
# too), so the man page follows the tool.
#
#   man_commands.sh TARNELCTL OUTPUT
set -euo pipefail
tarnelctl=$1
output=$2

# The names under "Subcommands:" in a --help text.
subcommands() {
  awk '/^Subcommands:/ { inside = 1; next } /^[^ ]/ { inside = 0 } inside && /^  [a-z]/ { print $1 }'
}

# Help text as preformatted roff: backslashes, hyphens and leading dots or
# quotes escaped.
roff() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

# A subcommand's help without its "Global options" list: OPTIONS above
# describes them once.
without_globals() {
  awk '/^Global options:/ { skip = 1; print "Global options: see OPTIONS."; next }
       /^$|^[^ ]/ { skip = 0 } !skip'
}

section() {
  local help
  help=$("$tarnelctl" "$@" --help)
  printf '.SS "tarnelctl %s"\n.nf\n' "$*"
  without_globals <<<"$help" | roff
  printf '.fi\n'
  local sub
  for sub in $(subcommands <<<"$help"); do
    section "$@" "$sub"
  done
}

{
  printf '[COMMANDS]\n'
  for command in $("$tarnelctl" --help | subcommands); do
    section "$command"
  done
} >"$output.tmp"
mv "$output.tmp" "$output"
