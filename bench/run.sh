#!/usr/bin/env bash
# Builds what the benchmarks need and runs them. Run as root on Debian 12:
#
#   bench/run.sh                 copy, check, flush, record, memory, detach and watch
#                                (about 30 minutes)
#   bench/run.sh downtime        agent downtime in the end-to-end suite's systemd container
#   bench/run.sh copy memory ... any of all, copy, check, flush, record, memory, detach, dry-run, watch,
#                                downtime
#
# Options go to bench/bench.py (--rounds N, --no-realtime, --work DIR, ...); see
# bench/README.md. The build goes to build-bench/ (KEST_BENCH_BUILD overrides it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${KEST_BENCH_BUILD:-$top/build-bench}

packages=(cmake g++ make libgtest-dev libgmock-dev python3 util-linux strace)
if [[ " $* " == *" downtime "* ]]; then
    packages+=(systemd-container)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kest-copy-tree kest-watch-cpu kest-update kestd-v1 kestd-v2 >/dev/null
exec /usr/bin/python3 "$here/bench.py" --build "$build" "$@"
