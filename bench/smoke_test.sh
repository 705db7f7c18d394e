#!/bin/sh
# Smoke test of the benchmark driver (no timing): kest-copy-tree copies a small tree whole,
# exits with 0, with 64 on a wrong command line, reports its peak memory when asked, and its
# trust check refuses a staged directory, and one on the way to a destination, that others can
# write.
#   smoke_test.sh KEST_COPY_TREE
set -eu
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/src/a/b" "$dir/src/c"
printf 'one\n' >"$dir/src/a/b/f1"
head -c 3000000 /dev/urandom >"$dir/src/c/big"
: >"$dir/src/empty"

"$tool" --log-stderr "$dir/src" "$dir/dst" 2>"$dir/log"
diff -r "$dir/src" "$dir/dst"
grep -q "^info: Copy to directory $dir/src/a/b\$" "$dir/log"
# The copy made dst's directories 0770 with this user's group, which for any user but root is a
# group of other users: the check would refuse them.
chmod -R g-w "$dir/dst"

status=0
"$tool" "$dir/src" 2>/dev/null || status=$?
[ "$status" -eq 64 ]

"$tool" --check "$dir/src" "$dir/dst"
for writable in src/a/b dst/a; do
    chmod o+w "$dir/$writable"
    status=0
    "$tool" --check "$dir/src" "$dir/dst" 2>"$dir/check" || status=$?
    [ "$status" -eq 1 ] && grep -qx "refused: $dir/$writable" "$dir/check"
    chmod o-w "$dir/$writable"
done

"$tool" --peak-memory "$dir/src" "$dir/dst" 2>"$dir/memory"
grep -q '^peak-memory-kib: [1-9][0-9]*$' "$dir/memory"
echo "kest-copy-tree smoke test passed"
