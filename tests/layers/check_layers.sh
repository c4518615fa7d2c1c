#!/usr/bin/env bash
# Fails when a source folder includes a folder above it. Arguments: the source root, then the
# folders from the bottom up. A folder may include itself and the folders before it in the list;
# since the list is an order, two folders can never include each other.
set -u
root=$1
shift
layers=("$@")
status=0
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

for folder in "${layers[@]}"; do
    files=$(find "$root/$folder" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
    if [ -z "$files" ]; then
        echo "$folder: no sources (the folder list is out of date)"
        status=1
        continue
    fi
    while IFS= read -r file; do
        # #include "folder/..." or <folder/...>
        while IFS=: read -r line target; do
            [ -n "$target" ] || continue
            if [ -n "${rank[$target]+x}" ] && [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
                echo "${file#"$root"/}:$line: includes $target/, which lies above $folder/"
                status=1
            fi
        done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][A-Za-z0-9_-]+/' "$file" |
                 sed -E 's@^([0-9]+):.*include[[:space:]]*["<]([A-Za-z0-9_-]+)/.*@\1:\2@')
    done <<< "$files"
done
[ $status -eq 0 ] && echo "layers ok: ${layers[*]}"
exit $status
