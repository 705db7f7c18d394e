#!/usr/bin/env bash
# Installs what the build and the tests need, builds kest-update twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), and runs every test: unit tests in both
# builds, the end-to-end suite against real systemd (and a virtual machine whose power is cut)
# in the plain one; runs the static checks
# (clang-tidy, cppcheck), the valgrind leak check and, in a third build with clang, the fuzz
# targets; then checks the man page and the Debian package.
# Run as root on Debian 12 from the repository's root: scripts/run-tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake g++ make libgtest-dev libgmock-dev python3 \
    systemd-container util-linux attr dpkg-dev file gzip busybox-static xfsprogs \
    clang clang-tidy cppcheck valgrind libclang-rt-14-dev qemu-system-x86 mmdebstrap e2fsprogs

jobs=$(nproc)

# Folders are layers: no include may climb.
scripts/check-layers.sh

# Fails when CTest reports tests that did not run: as root every test's environment exists.
run_ctest() {
    local build_dir=$1
    shift
    local log
    log=$(mktemp)
    local status=0
    ctest --test-dir "$build_dir" --output-on-failure --no-tests=error "$@" 2>&1 | tee "$log" ||
        status=$?
    if [ "$status" -eq 0 ] && [ "$(id -u)" -eq 0 ] && grep -q 'tests did not run' "$log"; then
        echo "Tests were skipped although running as root: failing." >&2
        status=1
    fi
    rm -f "$log"
    return "$status"
}

cmake -S . -B build -DKEST_WERROR=ON
cmake --build build -j "$jobs"
# clang-tidy and cppcheck; the fuzz targets are checked once their build exists (below).
scripts/check-static.sh build
run_ctest build

cmake -S . -B build-sanitize -DKEST_WERROR=ON -DKEST_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
run_ctest build-sanitize -LE e2e

# libFuzzer targets (clang), each run for a bounded time over its corpus; then clang-tidy on them.
scripts/run-fuzzers.sh build-fuzz 45
clang-tidy -p build-fuzz --quiet fuzz/*.cpp

# The man page, the plain install of the full build, and the Debian package (lintian,
# hardening-check).
scripts/check-package.sh build
