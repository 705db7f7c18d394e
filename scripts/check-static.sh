#!/usr/bin/env bash
# Static checks of the project's own sources; fails on any finding.
#   clang-tidy with the checked-in .clang-tidy, on the program and the unit tests, using the
#   compile commands of the given build (the fuzz targets are checked with their own build);
#   cppcheck over the program's sources (style included) and the unit tests (warnings).
# Usage: scripts/check-static.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
jobs=$(nproc)

mapfile -t sources < <(find base shared updater guard install service rollback tests/unit -name '*.cpp' | sort)
echo "clang-tidy: ${#sources[@]} files"
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$build_dir" --quiet

echo "cppcheck: program sources"
cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --error-exitcode=1 --quiet -I . base shared updater guard install service rollback fuzz
echo "cppcheck: unit tests"
# danglingLifetime: the fakes' closures (the seams, after_pause, shell_status...) capture a test's
# locals by design, and seam_test's TearDown drops them before the locals go; cppcheck cannot
# see the TearDown.
cppcheck --std=c++20 --language=c++ --library=googletest \
    --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet \
    --suppress=danglingLifetime -I . -I tests/unit tests/unit
echo "static checks: no findings"
