#!/usr/bin/env bash
# The sample update, end to end on this machine without touching it: installs
# what it needs, builds kest-update and the sample agent in a temporary folder,
# boots a throwaway systemd container over an overlay of /, installs agent
# release 1 in it, stages release 2 and lets the agent start the update. Prints
# the update's journal lines, the agent's release before and after, and how
# long the agent was down. Removes the container and the build when it ends.
# Run as root on Debian 12: scripts/sample-update.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "sample-update.sh must run as root (it boots a container)" >&2
    exit 1
fi

"$repo/scripts/ensure-packages.sh" cmake g++ make libgtest-dev libgmock-dev python3 systemd-container util-linux

build=$(mktemp -d /tmp/kest-sample-build.XXXXXX)
trap 'rm -rf "$build"' EXIT

echo "Building kest-update and the sample agent ..."
if ! { cmake -S "$repo" -B "$build" &&
       cmake --build "$build" -j "$(nproc)" --target kest-update kestd-v1 kestd-v2; } \
       >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    exit 1
fi

/usr/bin/python3 "$repo/tests/e2e/sample_update.py" \
    --kest-update "$build/kest-update" \
    --kestd-v1 "$build/tests/e2e/kestd-v1" \
    --kestd-v2 "$build/tests/e2e/kestd-v2"
