#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer
# included) and runs each for a bounded time, starting from its checked-in corpus; fails on
# the first input that breaks a target. New inputs go to a temporary directory, not the corpus.
# Usage: scripts/run-fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
seconds=${2:-45}

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DKEST_FUZZ=ON -DKEST_SANITIZE=ON \
    -DKEST_WERROR=ON -DKEST_BUILD_TESTS=OFF
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_parse_arguments

for target in parse_arguments; do
    work=$(mktemp -d)
    echo "fuzzing $target for ${seconds}s"
    status=0
    "$build_dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build_dir/fuzz/$target-" \
        "$work" "fuzz/corpus/$target" 2>"$work.log" || status=$?
    tail -n 15 "$work.log"
    rm -rf "$work" "$work.log"
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target failed (status $status); the input is in $build_dir/fuzz/" >&2
        exit 1
    fi
done
echo "fuzzing: no failures"
