#!/usr/bin/env bash
# Runs the updater's processes under valgrind and fails on any leak or memory error:
# the real binary's early exits, the detached child (through detach_probe, which detaches the
# way the updater does; its report goes to a file, since the child has no standard streams)
# and the command runner and update sequence through their unit tests.
# Usage: leak_check.sh VALGRIND DETACH_PROBE KEST_UPDATE UNIT_TESTS
set -euo pipefail
valgrind=$1 probe=$2 binary=$3 unit_tests=$4

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
vg=("$valgrind" -q --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99)

expect_status() {
    local expected=$1
    shift
    local status=0
    "$@" || status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "FAIL: exit status $status (wanted $expected): $*" >&2
        exit 1
    fi
}

# Runs "$@" where no update can happen: in a private mount namespace with an empty tmpfs over
# /var/kest (when there is one), so that a binary whose argument checks let a run through finds
# no update directory. Ordinary users get a user namespace too, as root in it.
sealed() {
    local as_user=()
    [ "$(id -u)" -eq 0 ] || as_user=(--map-root-user)
    unshare "${as_user[@]}" --mount --propagation private sh -c \
        '[ ! -e /var/kest ] || mount -t tmpfs -o mode=0755 none /var/kest || exit 126; exec "$@"' \
        sh "$@"
}

expect_status 254 sealed "${vg[@]}" "$binary"
expect_status 254 sealed "${vg[@]}" "$binary" start 1 extra
expect_status 253 sealed "${vg[@]}" "$binary" "start; %n" "12x"

mkdir "$dir/probe"
# Not quiet here: each process's log must end with its summary.
expect_status 0 "${vg[@]:0:1}" "${vg[@]:2}" --log-file="$dir/valgrind.%p" "$probe" "$dir/probe"
touch "$dir/probe/go"
# The detached child reports, then exits; valgrind writes its summary when it has.
for _ in $(seq 600); do
    [ -e "$dir/probe/report" ] && [ "$(grep -l 'ERROR SUMMARY' "$dir"/valgrind.* | wc -l)" -ge 2 ] &&
        break
    sleep 0.1
done
summaries=$(grep -h 'ERROR SUMMARY' "$dir"/valgrind.* || true)
if [ "$(echo "$summaries" | grep -c 'ERROR SUMMARY: 0 errors')" -lt 2 ]; then
    echo "FAIL: the detaching parent and the detached child were not both clean:" >&2
    cat "$dir"/valgrind.* >&2
    exit 1
fi

# The stop's tests are left out, and the run whose every step is checked, the watch's among
# them: this valgrind does not know pidfd_open, which they require.
expect_status 0 "${vg[@]}" "$unit_tests" --gtest_brief=1 \
    --gtest_filter='run_command_test.*:restart_agent_test.*:run_update_test.*:-run_update_test.successful_run_*'
echo "leak check: 0 errors in the early exits, the detached child and the runner"
