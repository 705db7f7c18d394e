#!/usr/bin/env bash
# Checks what ships: the man page renders without warnings and documents every message the
# program logs; the packages built by scripts/build-package.sh: the Debian package holds exactly
# the expected files with root ownership and the right modes and needs no other package, and
# lintian finds no error or warning in it; the RPM installs into an empty root with the same
# files, asks for no C library, and rpmlint finds no error or warning in it; the tarball holds the
# binary and its man page; all three ship one static, hardened, stripped binary, and the
# program's own calls into the C library exist in glibc 2.17. Each build directory given as an
# argument must install exactly the program and its man page with a plain `cmake --install`.
# Run as root on Debian 12: scripts/check-package.sh [BUILD_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh man-db groff-base lintian devscripts binutils file rpm rpmlint

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

echo "== package build"
deb=$(scripts/build-deb.sh)
rpm_package=$(scripts/build-rpm.sh)
tarball=$(scripts/build-tarball.sh)
printf '%s\n' "$deb" "$rpm_package" "$tarball"
build_dir=build-package

echo "== man page"
# As the packages' build configured it, with the project's version and build number.
page=$build_dir/packaging/kest-update.8
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
    grep -rhoP 'log_(info|warning|err)\(\s*"\K(?:[^"\\]|\\.)*' base shared updater guard install \
        service rollback | grep -vx '%s'
    # The restart's last-resort lines, composed at run time: their fixed beginning.
    grep -rhoP 'start_through_service\(start_command, "\K[^"]*' service
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

echo "== Debian package"
# Mode, owner and path of every entry; sizes and dates vary.
contents=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')
expected_contents="drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/systemd/
drwxr-xr-x root/root ./usr/lib/systemd/system/
-rw-r--r-- root/root ./usr/lib/systemd/system/kest-update-recover.service
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/kest-update
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/kest-update/
-rw-r--r-- root/root ./usr/share/doc/kest-update/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kest-update/copyright
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/kest-update
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/kest-update.8.gz"
[ "$contents" = "$expected_contents" ] || fail "unexpected package contents:
$contents"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kest-update ] || fail "package name is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "architecture is '$(field Architecture)'"
# Computed by dpkg-shlibdeps from the binary: a static one needs nothing.
[ -z "$(field Depends)" ] || fail "dependencies are '$(field Depends)'"
# Lintian warns on stderr when run as root; the tags go to stdout. The one tag that the static
# binary draws is overridden in the package (packaging/lintian-overrides).
lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"

echo "== binary"
dpkg-deb -x "$deb" "$work/deb"
binary=$work/deb/usr/sbin/kest-update
# Outputs are read whole before they are searched: grep -q would end a pipe early.
description=$(file -b "$binary")
dynamic_section=$(readelf -dW "$binary")
segments=$(readelf -lW "$binary")
[[ "$description" == *"static-pie linked"*", stripped"* ]] ||
    fail "the packaged binary is not a stripped static-pie: $description"
! grep -q '(NEEDED)' <<<"$dynamic_section" || fail "the binary needs shared libraries"
! grep -q 'INTERP' <<<"$segments" || fail "the binary asks for a dynamic loader"
grep -q 'FLAGS_1.*PIE' <<<"$dynamic_section" || fail "the binary is not position-independent"
grep -qE 'GNU_STACK( +[^ ]+){5} +RW ' <<<"$segments" || fail "the binary's stack is executable"
# Debian 12's C start files (crt1.o, crti.o) carry no control-flow-protection marking, so no
# program linked there can carry one: that protection is not asked for. hardening-check finds
# the stack protector and fortified calls by the C library's dynamic symbols, which a static
# binary does not have; the stack protector is checked below instead, and fortified calls it
# reports as unknown.
hardening-check --nocfprotection --nostackprotector "$binary" ||
    fail "hardening-check finds a protection missing"
# The program's own code calls the checks of the stack protector and of fortified calls.
program_calls=$(nm -u "$build_dir/libkest_core.a" \
    "$build_dir/CMakeFiles/kest-update.dir/updater/main.cpp.o" | awk 'NF == 2 { print $2 }' | sort -u)
grep -qx '__stack_chk_fail' <<<"$program_calls" || fail "the program has no stack protection"
grep -qE '^__[a-z0-9]+_chk$' <<<"$program_calls" || fail "the program has no fortified calls"
grep -q ' T __stack_chk_fail$' <<<"$(nm "$build_dir/kest-update")" ||
    fail "the binary lacks the stack protector's check"

echo "== C library of a dynamic build"
# Each C library function that the program calls itself must exist in glibc 2.17, so that a
# dynamic build (-DKEST_STATIC=OFF) links on older distributions too; what libstdc++ and the
# start files of the toolchain ask for is theirs. stat, fstat, lstat and fstatat are exported
# since glibc 2.33 only: older headers turn them into calls of __xstat and its kin.
objdump -T /lib/"$(gcc -print-multiarch)"/libc.so.6 |
    awk 'NF > 2 && $(NF-1) ~ /GLIBC_[0-9]/ { v = $(NF-1); gsub(/[()]/, "", v); print $NF, v }' \
    >"$work/libc-versions"
while read -r symbol; do
    case "$symbol" in
        _Z* | _Unwind_* | __cxa_* | __gxx_* | _GLOBAL_OFFSET_TABLE_ | __dso_handle) continue ;;
        stat | fstat | lstat | fstatat) continue ;;
    esac
    oldest=$(awk -v s="$symbol" '$1 == s { sub(/^GLIBC_/, "", $2); print $2 }' \
        "$work/libc-versions" | sort -V | head -n 1)
    [ "$(printf '%s\n' "${oldest:-none}" 2.17 | sort -V | tail -n 1)" = 2.17 ] ||
        fail "the program calls $symbol, which needs glibc ${oldest:-that does not export it}"
done <<<"$program_calls"

echo "== RPM"
# What rpm itself provides (rpmlib(...)) and the shell of the scriptlets that enable the
# recovery unit only: no C library, no loader.
requirements=$(rpm -qpR "$rpm_package" 2>/dev/null)
! grep -v -e '^rpmlib(' -e '^/bin/sh$' <<<"$requirements" | grep -q . ||
    fail "the RPM requires: $requirements"
# packaging/rpmlint.toml: the licence, gzip, and the tags left, each with its reason.
rpmlint -c packaging/rpmlint.toml "$rpm_package" || fail "rpmlint reports errors or warnings"
mkdir "$work/rpm-root"
if rpm --root "$work/rpm-root" --initdb 2>"$work/rpm.log" &&
    rpm --root "$work/rpm-root" -i --nodeps "$rpm_package" 2>>"$work/rpm.log"; then
    # The files of the Debian package, owned by root with the same modes; the lintian
    # override is Debian's own.
    listing() {
        (cd "$1" && find usr ! -type d ! -path 'usr/share/lintian/*' -exec stat -c '%A %U/%G %n' {} + |
            sort)
    }
    [ "$(listing "$work/rpm-root")" = "$(listing "$work/deb")" ] ||
        fail "the RPM installs other files than the Debian package:
$(diff <(listing "$work/deb") <(listing "$work/rpm-root"))"
    cmp -s "$work/rpm-root/usr/sbin/kest-update" "$binary" ||
        fail "the RPM ships another binary than the Debian package"
else
    fail "the RPM does not install into an empty root:
$(cat "$work/rpm.log")"
fi

echo "== tarball"
folder=$(basename "$tarball" .tar.gz)
[[ "$folder" == kest-update-*-"$(uname -m)" ]] || fail "the tarball is named $folder.tar.gz"
listing=$(tar -tvzf "$tarball" | awk '!/^d/ { print $1, $2, $6 }' | sort)
expected_listing="-rw-r--r-- root/root $folder/lib/systemd/system/kest-update-recover.service
-rw-r--r-- root/root $folder/share/man/man8/kest-update.8.gz
-rwxr-xr-x root/root $folder/sbin/kest-update
lrwxrwxrwx root/root $folder/lib/systemd/system/multi-user.target.wants/kest-update-recover.service"
[ "$listing" = "$expected_listing" ] || fail "the tarball holds:
$listing"
mkdir "$work/tarball"
tar -xzf "$tarball" -C "$work/tarball"
cmp -s "$work/tarball/$folder/sbin/kest-update" "$binary" ||
    fail "the tarball ships another binary than the Debian package"
cmp -s "$work/tarball/$folder/share/man/man8/kest-update.8.gz" \
    "$work/deb/usr/share/man/man8/kest-update.8.gz" || fail "the tarball ships another man page"

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
