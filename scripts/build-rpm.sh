#!/usr/bin/env bash
# Builds the RPM package of kest-update and prints its path; see scripts/build-package.sh.
exec "$(dirname "$0")/build-package.sh" RPM
