#!/usr/bin/env bash
# Builds the tarball (the binary and its man page) of kest-update and prints its path; see scripts/build-package.sh.
exec "$(dirname "$0")/build-package.sh" TGZ
