#!/usr/bin/env bash
# Checks the dynamic symbol table of a shared library: every defined symbol
# must belong to one of the expected classes, namespaces or functions, and
# each of those must export something.
#
#   check_exports.sh LIBRARY NAME...
#
# A symbol belongs to the leading name of its demangled form ("tarnel_admin"
# for "tarnel_admin::create_vdisk(...)", "RkException" for "typeinfo for
# RkException").
set -euo pipefail
library=$1
shift
declare -A expected=()
for name in "$@"; do expected[$name]=1; done

symbols=$(nm -D --defined-only -C "$library" | cut -d' ' -f3-)
declare -A seen=()
unexpected=()
while IFS= read -r symbol; do
  [ -n "$symbol" ] || continue
  owner=$symbol
  for prefix in "typeinfo name for " "typeinfo for " "vtable for " "VTT for " "guard variable for "; do
    owner=${owner#"$prefix"}
  done
  owner=${owner%%[^A-Za-z0-9_]*}
  if [ -n "${expected[$owner]:-}" ]; then
    seen[$owner]=1
  else
    unexpected+=("$symbol")
  fi
done <<<"$symbols"

status=0
if [ ${#unexpected[@]} -gt 0 ]; then
  echo "$library exports symbols outside its interface:" >&2
  printf '  %s\n' "${unexpected[@]}" >&2
  status=1
fi
for name in "$@"; do
  if [ -z "${seen[$name]:-}" ]; then
    echo "$library exports nothing of $name" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "$library: $(wc -l <<<"$symbols") symbols, all of: $*"
exit $status
