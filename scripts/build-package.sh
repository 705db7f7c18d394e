#!/usr/bin/env bash
# Builds a package of kest-update from this tree with CPack, from an optimised, hardened,
# static build in build-package/ (the packages strip the binary):
#   DEB  build-package/kest-update_<version>_<arch>.deb
#   RPM  build-package/kest-update-<version>-1.<arch>.rpm
#   TGZ  build-package/kest-update-<version>-<arch>.tar.gz: the binary and its man page
# All three hold the same binary. Installs what it needs with apt-get when missing. Run as root
# on Debian 12:
#     scripts/build-package.sh DEB|RPM|TGZ
# The package is the only one of its kind in build-package/; its path is the one line printed
# on standard output (the build's output goes to stderr).
set -euo pipefail
cd "$(dirname "$0")/.."

generator=${1:-}
case "$generator" in
    DEB) pattern='kest-update_*.deb' tools=(dpkg-dev) ;;
    RPM) pattern='kest-update-*.rpm' tools=(rpm) ;;
    TGZ) pattern='kest-update-*.tar.gz' tools=() ;;
    *)
        echo "usage: $0 DEB|RPM|TGZ" >&2
        exit 2
        ;;
esac
scripts/ensure-packages.sh cmake g++ make binutils file gzip "${tools[@]}"

build_dir=build-package
# The package takes its modes from the files staged for it: no restrictive umask may leak in.
umask 022
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKEST_BUILD_TESTS=OFF \
    -DKEST_SANITIZE=OFF -DKEST_HARDENING=ON -DKEST_STATIC=ON >&2
cmake --build "$build_dir" -j "$(nproc)" >&2
rm -f "$build_dir"/$pattern
(cd "$build_dir" && cpack -G "$generator") >&2

packages=("$build_dir"/$pattern)
if [ ${#packages[@]} -ne 1 ] || [ ! -f "${packages[0]}" ]; then
    echo "Expected one package in $build_dir, found: ${packages[*]}" >&2
    exit 1
fi
echo "$(pwd)/${packages[0]}"
