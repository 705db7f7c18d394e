"""Checks of the updater's log lines that the scenarios share.

The walk of the staged tree follows the order in which directories yield
their entries, which the file system decides; so the lines of the walk are
checked as a block: each directory of the staged tree announced once, parents
before children, with its "Create directory" or "Skiping" line right after
its own announcement, the files replaced because they were busy, and nothing
else in between.
"""

import os
import re

from .agent import STAGING_ROOT
from .loglines import DAEMON, ERR, INFO, UPDATER_IDENT, WARNING, LogLine, format_lines


def _started_line():
    """The start-up line of the kest-update under test, with the version and
    build number of its build: the header that CMake generated from the
    project's settings, in the build folder that holds the binary."""
    build_dir = os.path.dirname(os.environ["KEST_UPDATE_BIN"])
    with open(os.path.join(build_dir, "generated", "updater", "version.h")) as header:
        text = header.read()
    version = re.search(r'version = "([^"]+)"', text).group(1)
    build_number = re.search(r"build_number = (\d+)", text).group(1)
    return f"Started Kest Updater version {version} ({build_number})"


STARTED = _started_line()
COPY = "Copy to directory "
CREATE = "Create directory "
SKIP = "Systemd not installed. Skiping the {} folder"
REPLACE = "Replacing busy file "
UNIT_FOLDER = STAGING_ROOT + "/etc/systemd/system"


def info(message):
    return LogLine(INFO, DAEMON, UPDATER_IDENT, message)


def warning(message):
    return LogLine(WARNING, DAEMON, UPDATER_IDENT, message)


def err(message):
    return LogLine(ERR, DAEMON, UPDATER_IDENT, message)


ROLLING_BACK = warning("Rolling back the update")
ROLLED_BACK = info("Rolled back the update")


def staged_directories(package):
    """Every directory of the staged tree of a package, as staged paths,
    the staging root included."""
    found = {STAGING_ROOT}
    for relative in package:
        parts = relative.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            found.add(STAGING_ROOT + "/" + "/".join(parts[:depth]))
    return found


def is_walk_line(line):
    m = line.message
    return (m.startswith(COPY) or m.startswith(CREATE) or m.startswith(REPLACE) or
            (m.startswith("Systemd not installed. Skiping the ") and m.endswith(" folder")))


def split_walk(testcase, lines):
    """(lines before the walk, the walk's lines, lines after it)."""
    first = next((i for i, l in enumerate(lines) if is_walk_line(l)), None)
    testcase.assertIsNotNone(first, "the walk of the staged tree is not in the log:\n"
                             + format_lines(lines))
    end = first
    while end < len(lines) and is_walk_line(lines[end]):
        end += 1
    return lines[:first], lines[first:end], lines[end:]


def assert_walk(testcase, walk, directories, created=(), skipped=(), replaced=()):
    """Checks the walk's lines against the staged directories, those whose
    destination had to be created, those skipped for want of systemd and the
    destinations replaced because they were busy."""
    listing = format_lines(walk)
    testcase.assertTrue(all(l.priority == INFO and l.facility == DAEMON for l in walk),
                        "walk lines must be daemon.info:\n" + listing)
    testcase.assertEqual(sorted(l.message[len(REPLACE):] for l in walk
                                if l.message.startswith(REPLACE)),
                         sorted(replaced), "busy files replaced:\n" + listing)
    walk = [l for l in walk if not l.message.startswith(REPLACE)]
    announced = [l.message[len(COPY):] for l in walk if l.message.startswith(COPY)]
    testcase.assertEqual(announced[0], STAGING_ROOT, listing)
    testcase.assertEqual(sorted(announced), sorted(directories),
                         "each staged directory must be announced once:\n" + listing)
    for index, path in enumerate(announced):
        parent = path.rsplit("/", 1)[0]
        if path != STAGING_ROOT:
            testcase.assertLess(announced.index(parent), index,
                                f"{path} announced before its parent:\n" + listing)

    followers = {}
    for before, line in zip(walk, walk[1:]):
        if not line.message.startswith(COPY):
            testcase.assertTrue(before.message.startswith(COPY), listing)
            followers[before.message[len(COPY):]] = line.message
    expected = {path: CREATE + path for path in created}
    expected.update({path: SKIP.format(path) for path in skipped})
    testcase.assertEqual(followers, expected,
                         "unexpected Create/Skip lines in the walk:\n" + listing)


def assert_lines(testcase, actual, expected, what):
    testcase.assertEqual(list(actual), list(expected),
                         f"{what}\nactual:\n{format_lines(actual)}\nexpected:\n"
                         f"{format_lines(expected)}")


def assert_systemd_stop(testcase, before):
    """The lines before the walk on the systemd road: start-up, patch, stop."""
    assert_lines(testcase, before, [info(STARTED), info("Patch agent service file"),
                                    info("Stopping systemd service")], "lines before the walk")


def systemd_restart_attempt(restart_works=True, service_works=False):
    """Lines of one restart attempt under systemd, up to where it succeeds
    or, when neither way works, up to the start command's announcement."""
    lines = [info("Enabling services and reloading systemd"),
             info("Restart the daemons via systemd")]
    if restart_works:
        return lines
    lines += [err("Failed to execute 'systemctl restart kest': error code 1"),
              err("Could not start the daemon via systemd"),
              err("Start the daemon via 'service' command")]
    if service_works:
        return lines
    return lines + [err("Failed to execute 'service kest start': error code 1"),
                    err("Could not start the daemon via 'service' command"),
                    err("Start the daemon service via /usr/sbin/kestd")]


def bare_restart_attempt(service_works=True, service_status=7):
    """Lines of one restart attempt without systemd, up to the start
    command's announcement when the service command fails."""
    lines = [info("Start the daemon via 'service' command")]
    if service_works:
        return lines
    return lines + [err(f"Failed to execute 'service kest start': error code {service_status}"),
                    err("Could not start the daemon via 'service' command"),
                    err("Start the daemon via /usr/sbin/kestd")]


def failed_start_command(status):
    return err(f"Failed to execute '/usr/sbin/kestd --daemon': error code {status}")
