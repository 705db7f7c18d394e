#!/usr/bin/env bash
# Checks what ships: the man page renders without warnings and documents every message the
# program logs; the Debian package built by scripts/build-deb.sh holds exactly the expected
# files with root ownership and the right modes, lintian finds no error or warning in it, and
# hardening-check finds every protection in its binary. Each build directory given as an
# argument must install exactly the program and its man page with a plain `cmake --install`.
# Run as root on Debian 12: scripts/check-package.sh [BUILD_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh man-db groff-base lintian devscripts binutils

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

echo "== package build"
deb=$(scripts/build-deb.sh)
echo "$deb"

echo "== man page"
# As the package's build configured it, with the project's version and build number.
page=build-deb/packaging/kest-update.8
warnings=$( {
    groff -ww -z -man "$page"
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null
} 2>&1)
[ -z "$warnings" ] || fail "the man page renders with warnings:
$warnings"
# Every message the program logs is documented: each fixed part of its format (the text
# around %s, %d, %ld) appears in the page, rendered on lines long enough never to wrap.
groff -man -Tutf8 -rLL=10000n -P-cbu "$page" >"$work/page.txt"
{
    grep -rhoP 'log_(info|err)\(\s*"\K(?:[^"\\]|\\.)*' updater guard install service | grep -vx '%s'
    # Messages composed at run time and logged through "%s": their fixed beginning.
    grep -rhoP 'log_(info|err)\("%s", \("\K[^"]*' updater guard install service
} | sort -u >"$work/formats.txt"
[ -s "$work/formats.txt" ] || fail "no log message found in the sources"
while IFS= read -r format; do
    while IFS= read -r part; do
        part=$(echo "$part" | sed 's/^ *//; s/ *$//')
        [ -z "$part" ] || grep -qF -- "$part" "$work/page.txt" ||
            fail "the man page lacks the logged text '$part' (from '$format')"
    done < <(echo "$format" | sed 's/%\(ll\?\)\?[sdu]/\n/g')
done <"$work/formats.txt"

for build_dir in "$@"; do
    echo "== plain install from $build_dir"
    cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
    installed=$(cd "$work/prefix" && find . -type f -o -type l | sort)
    expected=$'./sbin/kest-update\n./share/man/man8/kest-update.8.gz'
    [ "$installed" = "$expected" ] || fail "cmake --install from $build_dir installs:
$installed"
    rm -rf "$work/prefix"
done

echo "== package"
# Mode, owner and path of every entry; sizes and dates vary.
contents=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')
expected_contents="drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/kest-update
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/kest-update/
-rw-r--r-- root/root ./usr/share/doc/kest-update/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kest-update/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/kest-update.8.gz"
[ "$contents" = "$expected_contents" ] || fail "unexpected package contents:
$contents"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kest-update ] || fail "package name is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "architecture is '$(field Architecture)'"
# Computed by dpkg-shlibdeps from the binary; the C library is always among them.
[[ "$(field Depends)" == *libc6* ]] || fail "dependencies are '$(field Depends)'"

echo "== lintian"
# Lintian warns on stderr when run as root; the tags go to stdout.
lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"

echo "== hardening-check"
dpkg-deb -x "$deb" "$work/root"
# Debian 12's C start files (crt1.o, crti.o) carry no control-flow-protection marking, so no
# program linked there can carry one: that protection is not asked for.
hardening-check --nocfprotection "$work/root/usr/sbin/kest-update" ||
    fail "hardening-check finds a protection missing"
file "$work/root/usr/sbin/kest-update" | grep -q ', stripped' || fail "the packaged binary is not stripped"

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
