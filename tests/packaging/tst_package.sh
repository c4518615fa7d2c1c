#!/usr/bin/env bash
# The package as a user receives it: the tarball unpacks into one folder with the program, the
# simulator, the menu entry and its icon, the service unit, an empty ports/, and nothing the
# program writes itself. Started from there, the program finds the simulator through ports/ and
# keeps its settings beside itself; unpacked again, the folder keeps them. add-to-menu writes an
# entry naming that folder, also when the folder's name needs quoting; add-service writes a
# systemd unit that systemd-analyze accepts (where the machine has it).
#   tst_package.sh <build-folder> <cpack> [more programs the package holds]
set -euo pipefail

build=$1
cpack=$2
shift 2
extra=()
for program in "$@"; do
    [ -n "$program" ] && extra+=("$program")
done
work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Waits (at most 60 s) until the file holds a line matching the pattern.
wait_for_line() {
    local file=$1 pattern=$2 i
    for ((i = 0; i < 600; ++i)); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "--- $file:" >&2
    cat "$file" >&2 || true
    fail "no line matching '$pattern' in $file"
}

# The tarball: one top folder, the expected files, none of the user's own.
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
tarballs=("$work"/out/*.tar.gz)
[ ${#tarballs[@]} -eq 1 ] && [ -f "${tarballs[0]}" ] || fail "expected one tarball, got ${tarballs[*]}"
tar -tzf "${tarballs[0]}" >"$work/contents"
top=$(head -n1 "$work/contents" | cut -d/ -f1)
grep -v -q "^$top/" "$work/contents" && fail "entries outside $top/: $(grep -v "^$top/" "$work/contents")"
for file in VuzaRavarede instrument-sim VuzaRavarede.desktop VuzaRavarede.png add-to-menu \
    add-service vuzaravarede.service ports/ samples/20180315_F123_ABCD12345678.csv "${extra[@]}"; do
    grep -q -x "$top/$file" "$work/contents" || fail "$file is not in the package"
done
# The user guide with what it links to, and the client code of the checkout.
for file in README.md docs/DEVELOPING.md docs/screenshots/main_window.png examples/remote_scan.py; do
    grep -q -x "$top/$file" "$work/contents" || fail "$file is not in the package"
done
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
for folder in clients/python integrations/tango; do
    [ -d "$source_dir/$folder" ] || continue
    grep -q "^$top/$folder/." "$work/contents" || fail "$folder is not in the package"
done
grep -q -E "/__pycache__/|\.pyc$" "$work/contents" && fail "compiled Python files in the package"
grep -E "^$top/(VuzaRavarede\.ini|Cal/|Log/|Scans/|ports/.)" "$work/contents" &&
    fail "the package would overwrite the user's own files"

# Unpacked as the README says, into a folder whose name has a space.
dir="$work/My Lab"
mkdir "$dir"
tar -xzf "${tarballs[0]}" -C "$dir" --strip-components=1
[ -x "$dir/VuzaRavarede" ] && [ -x "$dir/instrument-sim" ] && [ -x "$dir/add-to-menu" ] ||
    fail "programs are not executable after unpacking"

# A session against the packaged simulator; every other port name is kept off the machine's
# own serial devices by a link to nowhere.
[ -d "$dir/ports" ] || fail "no ports/ after unpacking"
mkdir "$dir/Cal"
cp "$dir/samples/20180315_F123_ABCD12345678.csv" "$dir/Cal/F123_ABCD12345678.csv"
for n in $(seq 2 64); do ln -s "$work/nowhere" "$dir/ports/COM$n"; done
"$dir/instrument-sim" --link "$dir/ports/COM1" </dev/null >"$work/sim.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 600; ++i)); do
    [ -e "$dir/ports/COM1" ] && break
    sleep 0.1
done
[ -e "$dir/ports/COM1" ] || fail "the simulator did not publish its port"
(cd "$work" && exec "$dir/VuzaRavarede") >"$work/program.log" 2>&1 &
program=$!
pids+=("$program")
# Homing is the last step before the program reports the instrument ready.
wait_for_line "$work/sim.log" '"HOME 3"'
[ -f "$dir/VuzaRavarede.ini" ] || fail "no settings file beside the installed program"
kill -TERM "$program"
status=0
wait "$program" || status=$?
[ "$status" -eq 0 ] || { cat "$work/program.log" >&2; fail "the program ended with $status"; }
grep -q -x 'PortName=COM1' "$dir/VuzaRavarede.ini" || fail "settings not written beside the program"

# A newer version unpacked over the folder leaves the user's files and links alone.
tar -xzf "${tarballs[0]}" -C "$dir" --strip-components=1
[ -L "$dir/ports/COM2" ] && grep -q -x 'PortName=COM1' "$dir/VuzaRavarede.ini" &&
    [ -f "$dir/Cal/F123_ABCD12345678.csv" ] || fail "unpacking again changed the user's files"

# The service unit: written by add-service for this folder (a user unit, and the system variant
# as it would be written), and the template as shipped, for the folder it names by default.
export XDG_CONFIG_HOME="$work/config"
"$dir/add-service" -- --remote-listen 127.0.0.1 >"$work/add-service.log"
unit="$XDG_CONFIG_HOME/systemd/user/vuzaravarede.service"
[ -f "$unit" ] || fail "add-service wrote no unit"
grep -q -x "ExecStart=\"$dir/VuzaRavarede\" --headless \"--remote-listen\" \"127.0.0.1\"" "$unit" ||
    fail "ExecStart does not name the program headless: $(grep ExecStart "$unit")"
grep -q -x 'Restart=on-failure' "$unit" || fail "the unit does not restart the program on failure"
"$dir/add-service" --system --print >"$work/system.service"
grep -q -x 'WantedBy=multi-user.target' "$work/system.service" &&
    grep -q -x "User=$(stat -c %U "$dir/VuzaRavarede")" "$work/system.service" || fail "the system unit: $(cat "$work/system.service")"
mkdir -p "$work/home/VuzaRavarede"
ln -s "$dir/VuzaRavarede" "$work/home/VuzaRavarede/VuzaRavarede"
if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$work/runtime"
    verify() {
        local out
        out=$("$@" 2>&1) || fail "systemd-analyze refused the unit: $out"
        [ -z "$out" ] || fail "systemd-analyze: $out"
    }
    verify env XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify "$unit"
    verify env XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home" \
        systemd-analyze --user verify "$dir/vuzaravarede.service"
    cp "$work/system.service" "$work/vuzaravarede.service"
    verify systemd-analyze verify "$work/vuzaravarede.service"
else
    echo "SKIP: systemd-analyze is not installed; the units were not verified"
fi
"$dir/add-service" --remove >/dev/null
[ ! -e "$unit" ] || fail "add-service --remove left the unit"

# The menu entry, for a folder moved to a name with characters that need quoting.
moved="$work/Lab \"A\" \$HOME \`x\` 50% back\\slash"
mv "$dir" "$moved"
export XDG_DATA_HOME="$work/share"
"$moved/add-to-menu" >/dev/null
entry="$XDG_DATA_HOME/applications/vuzaravarede.desktop"
[ -f "$entry" ] || fail "add-to-menu wrote no entry"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "the entry is not a valid desktop entry"
fi
# Read the entry back as a menu does: string escapes first, then the command line's quoting.
unescape() { printf '%s' "$1" | sed 's/\\\\/\\/g'; }
exec_line=$(unescape "$(sed -n 's/^Exec=//p' "$entry")")
exec_line=${exec_line//%%/%}
eval "set -- $exec_line"
[ $# -eq 1 ] && [ "$1" = "$moved/VuzaRavarede" ] || fail "Exec names '$*', not the program"
icon=$(unescape "$(sed -n 's/^Icon=//p' "$entry")")
[ "$icon" = "$moved/VuzaRavarede.png" ] && [ -f "$icon" ] || fail "Icon names '$icon'"
[ "$(grep -c '^Exec=' "$entry")" -eq 1 ] || fail "more than one Exec line"

# systemd cannot start a program under that name: add-service says so and writes nothing.
"$moved/add-service" 2>"$work/refused.log" && fail "add-service wrote a unit systemd cannot start"
grep -q -F "($moved)" "$work/refused.log" || fail "add-service refused without naming the folder: $(cat "$work/refused.log")"
[ ! -e "$unit" ] || fail "add-service wrote a unit for $moved"

"$moved/add-to-menu" --remove >/dev/null
[ ! -e "$entry" ] || fail "--remove left the entry"
echo "package: $(basename "${tarballs[0]}") $(wc -l <"$work/contents") entries; session, settings, menu entry and service unit fine"
