#!/usr/bin/env bash
# Builds the Debian package of kest-update and prints its path; see scripts/build-package.sh.
exec "$(dirname "$0")/build-package.sh" DEB
