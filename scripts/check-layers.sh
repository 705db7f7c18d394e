#!/usr/bin/env bash
# Folders are layers, and an include may only point down: a file may include headers of its own
# folder and of the layers below it, never of a layer above, nor of a sibling on its own layer.
# Prints each include that breaks this and exits 1; tests, benchmarks and fuzz targets are users
# of the program and may include anything.
# Usage: scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Bottom to top; folders on one line are siblings.
layers=(
    "base"
    "shared"
    "guard service install rollback"
    "updater"
)

declare -A rank
for i in "${!layers[@]}"; do
    for folder in ${layers[i]}; do
        rank[$folder]=$i
    done
done

bad=0
for folder in "${!rank[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line included; do
        target=${included%%/*}
        [ "$target" = "$folder" ] && continue
        if [ -z "${rank[$target]+set}" ]; then
            echo "$file:$line: includes $included, from a folder that is no layer"
            bad=1
        elif [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
            echo "$file:$line: includes $included: $folder may only use the layers below it"
            bad=1
        fi
    done < <(grep -rnoE '^#include "[^"]+/[^"]+"' "$folder" --include='*.h' --include='*.cpp' \
        --include='*.in' | sed -E 's/#include "([^"]+)"/\1/')
done
[ "$bad" -eq 0 ] && echo "layers: every include points down"
exit "$bad"
