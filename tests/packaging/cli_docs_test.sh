#!/usr/bin/env bash
# tarnelctl's bash completion and man page against its --help: every option
# and subcommand that `tarnelctl [COMMAND...] --help` lists, at every level,
# is offered by the completion there and named in the man page.
#
#   cli_docs_test.sh TARNELCTL COMPLETION MAN_PAGE   (MAN_PAGE "-": not built)
set -euo pipefail
tarnelctl=$1
completion=$2
man_page=$3
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The completion's answer for the command line WORD... (the last word is
# the one being completed), one candidate a line.
complete_line() {
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _tarnelctl
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

# The option names in the Options section of a --help text (-h and --help
# from "-h,--help"), and the names under Subcommands.
options_of() {
  awk '/^Options:/ { inside = 1; next } /^[^ ]/ { inside = 0 } inside && /^  -/ { print $1 }' |
    tr ',' '\n'
}
subcommands_of() {
  awk '/^Subcommands:/ { inside = 1; next } /^[^ ]/ { inside = 0 }
       inside && /^  [a-z]/ { print $1 }'
}

man_text=""
if [ "$man_page" != "-" ]; then
  # The roff source with hyphens and fonts plain.
  man_text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$man_page")
fi

checked=0
check_level() {
  local help
  help=$("$tarnelctl" "$@" --help) || { fail "tarnelctl $* --help"; return; }
  local offered_options offered_commands
  offered_options=$(complete_line tarnelctl "$@" -)
  offered_commands=$(complete_line tarnelctl "$@" "")
  local name
  for name in $(options_of <<<"$help"); do
    checked=$((checked + 1))
    grep -qxF -- "$name" <<<"$offered_options" ||
      fail "the completion does not offer $name after 'tarnelctl $*'"
    if [ -n "$man_text" ] && ! grep -qE -- "(^|[^-a-z])$name([^-a-z]|\$)" <<<"$man_text"; then
      fail "the man page does not name $name (tarnelctl $* --help)"
    fi
  done
  for name in $(subcommands_of <<<"$help"); do
    checked=$((checked + 1))
    grep -qxF -- "$name" <<<"$offered_commands" ||
      fail "the completion does not offer the subcommand '$name' after 'tarnelctl $*'"
    if [ -n "$man_text" ] && ! grep -qF -- "\"tarnelctl${*:+ $*} $name\"" <<<"$man_text"; then
      fail "the man page has no section for 'tarnelctl $* $name'"
    fi
    check_level "$@" "$name"
  done
}
check_level

[ "$man_page" != "-" ] ||
  echo "no man page in this build (no help2man, or sanitizers): checked the completion only"
[ "$failures" -eq 0 ] || exit 1
echo "ok: $checked options and subcommands of tarnelctl's --help, completed and documented"
