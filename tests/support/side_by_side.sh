#!/usr/bin/env bash
# Runs the parts of one test side by side and reports them as one:
#   side_by_side.sh COMMAND ARGS... [:: COMMAND ARGS...]...
# For tests that spend their time waiting (for the program's pauses, the simulator's moves), not
# computing, so that their independent parts overlap inside one ctest entry. Each part's output
# is printed whole once all have ended, in the order given; the status is 0 only when every part
# ended with 0. A signal to this script ends the parts still running.
set -uo pipefail

parts=()
current=()
for arg in "$@"; do
    if [ "$arg" = "::" ]; then
        [ ${#current[@]} -gt 0 ] && parts+=("$(printf '%q ' "${current[@]}")")
        current=()
    else
        current+=("$arg")
    fi
done
[ ${#current[@]} -gt 0 ] && parts+=("$(printf '%q ' "${current[@]}")")
if [ ${#parts[@]} -eq 0 ]; then
    echo "side_by_side.sh: no command given" >&2
    exit 2
fi

out=$(mktemp -d)
pids=()
stop() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    wait
    for i in "${!parts[@]}"; do
        echo "=== part $((i + 1)) of ${#parts[@]}, stopped: ${parts[$i]}"
        cat "$out/$i"
    done
    rm -rf "$out"
    exit 1
}
trap stop TERM INT HUP

for i in "${!parts[@]}"; do
    bash -c "exec ${parts[$i]}" >"$out/$i" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!parts[@]}"; do
    wait "${pids[$i]}"
    code=$?
    [ "$code" -eq 0 ] || status=1
    echo "=== part $((i + 1)) of ${#parts[@]} (exit status $code): ${parts[$i]}"
    cat "$out/$i"
done
rm -rf "$out"
exit "$status"
