#!/usr/bin/env bash
# Builds the Debian package of kest-update from this tree: an optimised, hardened build,
# stripped and packaged by CPack, with its dependencies computed by dpkg-shlibdeps.
# Installs what it needs with apt-get when missing. Run as root on Debian 12:
#     scripts/build-deb.sh
# The package lands in build-deb/ as kest-update_<version>_<arch>.deb, the only .deb there;
# its path is the one line printed on standard output (the build's output goes to stderr).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake g++ make binutils dpkg-dev file gzip

build_dir=build-deb
# The package takes its modes from the files staged for it: no restrictive umask may leak in.
umask 022
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKEST_BUILD_TESTS=OFF \
    -DKEST_SANITIZE=OFF -DKEST_HARDENING=ON >&2
cmake --build "$build_dir" -j "$(nproc)" >&2
rm -f "$build_dir"/kest-update_*.deb
(cd "$build_dir" && cpack -G DEB) >&2

packages=("$build_dir"/kest-update_*.deb)
if [ ${#packages[@]} -ne 1 ] || [ ! -f "${packages[0]}" ]; then
    echo "Expected one package in $build_dir, found: ${packages[*]}" >&2
    exit 1
fi
echo "$(pwd)/${packages[0]}"
