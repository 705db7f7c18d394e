#!/usr/bin/python3
"""Runs end-to-end scenarios against the built kest-update.

    run_e2e.py --kest-update BIN --kestd-v1 BIN --kestd-v2 BIN
               [--package-from BUILD_DIR] [MODULE ...]

MODULE names test modules of this folder (default: all test_*.py). Needs
root. Removes what an earlier, killed run left behind before it starts, and
tears its own environments down however it ends (failure, SIGINT, SIGTERM,
SIGHUP).
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile
import unittest

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for this suite
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import entry, session, workdir  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    entry.add_build_arguments(parser)
    parser.add_argument("--package-from", metavar="BUILD_DIR",
                        help="build the Debian package of this build and install it with dpkg "
                             "where the scenarios install kest-update into the container")
    parser.add_argument("modules", nargs="*")
    return parser.parse_args()


def build_package(build_dir, output_dir):
    """Packs the given build with CPack; returns the path of its .deb."""
    subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
                    "-B", output_dir], check=True, stdout=subprocess.DEVNULL)
    packages = glob.glob(os.path.join(output_dir, "kest-update_*.deb"))
    if len(packages) != 1:
        raise RuntimeError(f"expected one package in {output_dir}, found {packages}")
    return packages[0]


def main():
    args = parse_args()
    if os.geteuid() != 0:
        # Mounts, namespaces and a booted container cannot exist without root.
        print("skipped: the end-to-end suite needs root (namespaces, mounts, a container)")
        return SKIPPED
    entry.use_builds(args)
    entry.stop_on_signals()

    package_dir = None
    if args.package_from:
        package_dir = tempfile.TemporaryDirectory(prefix="kest-e2e-package.")
        os.environ["KEST_UPDATE_DEB"] = build_package(args.package_from, package_dir.name)

    workdir.clean_leftovers()
    loader = unittest.TestLoader()
    if args.modules:
        suite = loader.loadTestsFromNames(args.modules)
    else:
        suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        session.shutdown()
        if package_dir is not None:
            package_dir.cleanup()
    if not result.wasSuccessful():
        return 1
    if result.skipped:
        # A missing tool: said, and reported to CTest as a skip, never as a pass.
        for _test, reason in result.skipped:
            print(f"skipped: {reason}")
        return SKIPPED
    return 0 if result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
