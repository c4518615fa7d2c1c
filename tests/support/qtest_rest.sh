#!/usr/bin/env bash
# Runs every test function of a Qt test program except those named, so that a long program can
# be cut into ctest entries without listing (and forgetting) the functions left over.
#   qtest_rest.sh PROGRAM FUNCTION...
# A function named here runs in an entry of its own; a function added to the program later runs
# here by itself.
set -euo pipefail
program=$1
shift
declare -A elsewhere
for name in "$@"; do elsewhere[$name]=1; done

mapfile -t functions < <("$program" -functions | sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)()$/\1/p')
if [ ${#functions[@]} -eq 0 ]; then
    echo "qtest_rest.sh: $program listed no test functions" >&2
    exit 1
fi
rest=()
for name in "${functions[@]}"; do
    [ -n "${elsewhere[$name]+x}" ] || rest+=("$name")
done
# A part named here that the program does not have is a stale list: say so rather than skip it.
for name in "$@"; do
    if ! printf '%s\n' "${functions[@]}" | grep -qx -- "$name"; then
        echo "qtest_rest.sh: $program has no test function $name" >&2
        exit 1
    fi
done
if [ ${#rest[@]} -eq 0 ]; then
    echo "qtest_rest.sh: every function of $program runs elsewhere" >&2
    exit 1
fi
exec "$program" "${rest[@]}"
