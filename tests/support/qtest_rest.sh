#!/usr/bin/env bash
# Runs every test function of a Qt test program except those named, so that a long program can
# be cut into parts without listing (and forgetting) the functions left over.
#   qtest_rest.sh PROGRAM NAME...
# A NAME is a function, or FUNCTION:TAG for one row of a data-driven function; a function named
# by its rows is left out here as a whole, so each of its rows must be named somewhere. A
# function added to the program later runs here by itself.
set -euo pipefail
program=$1
shift
declare -A elsewhere
declare -A rows_named
split=()
for name in "$@"; do
    function=${name%%:*}
    elsewhere[$function]=1
    if [ "$function" != "$name" ]; then
        rows_named[$name]=1
        split+=("$function")
    fi
done

mapfile -t functions < <("$program" -functions | sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)()$/\1/p')
if [ ${#functions[@]} -eq 0 ]; then
    echo "qtest_rest.sh: $program listed no test functions" >&2
    exit 1
fi
# A part that names a function the program does not have is a stale list: say so.
for function in "${!elsewhere[@]}"; do
    if ! printf '%s\n' "${functions[@]}" | grep -qx -- "$function"; then
        echo "qtest_rest.sh: $program has no test function $function" >&2
        exit 1
    fi
done
# Every row of a function cut into rows runs in some part.
if [ ${#split[@]} -gt 0 ]; then
    while read -r _class function tag; do
        [ -n "$tag" ] || continue
        if printf '%s\n' "${split[@]}" | grep -qx -- "$function" &&
            [ -z "${rows_named[$function:$tag]+x}" ]; then
            echo "qtest_rest.sh: row \"$tag\" of $function runs in no part" >&2
            exit 1
        fi
    done < <("$program" -datatags)
fi
rest=()
for function in "${functions[@]}"; do
    [ -n "${elsewhere[$function]+x}" ] || rest+=("$function")
done
if [ ${#rest[@]} -eq 0 ]; then
    echo "qtest_rest.sh: every function of $program runs in a part of its own" >&2
    exit 1
fi
exec "$program" "${rest[@]}"
