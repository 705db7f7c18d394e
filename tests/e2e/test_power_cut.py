"""A power cut in the middle of an update, on a real virtual machine, and what the next boot
leaves: the agent's tree must be the whole of release 1 or the whole of release 2, with no
undo record, and the agent must run on that release."""

import os
import random
import re
import sys
import time
import unittest

from harness import agent
from harness.virtual_machine import GuestImage, VirtualMachine, updater_line

BOOT_AND_UPDATE_TIMEOUT = 300
REPORT_TIMEOUT = 240
RELEASE_1_TIME = 1700000000  # release 1's files were installed a second apart from then

# Folders of the agent's tree in release 1: path -> (mode, owner, group).
FOLDERS = {
    "usr/share/kestd": (0o755, 0, 0),
    "usr/share/kestd/models": (0o755, 0, 0),
    "usr/share/kestd/assets": (0o750, 0, 4),
    "usr/share/kestd/assets/img": (0o755, 0, 0),
    "usr/lib/kestd": (0o755, 0, 0),
    "usr/lib/kestd/plugins": (0o711, 0, 0),
    "etc/kest": (0o700, 0, 0),
}
# Folders that release 2 adds; the update creates them 0770, root's.
NEW_FOLDERS = ("usr/share/kestd/assets/sounds", "usr/lib/kestd/plugins/extra")
# Files in each folder: (how many in release 1, KiB each, about). Release 2 adds one to each
# folder of release 1 and three to each new one.
FILES = {"usr/share/kestd/models": (4, 5120), "usr/share/kestd/assets": (8, 24),
         "usr/share/kestd/assets/img": (30, 160), "usr/lib/kestd/plugins": (12, 512),
         "etc/kest": (10, 2), "usr/share/kestd/assets/sounds": (0, 96),
         "usr/lib/kestd/plugins/extra": (0, 256)}
# (mode, owner, group) of release 1's files, in turn; release 2's new files take the modes.
FILE_ATTRIBUTES = ((0o644, 0, 0), (0o600, 1, 1), (0o640, 0, 4), (0o755, 1000, 1000),
                   (0o444, 33, 33))
# The drop-in that the update writes so that the agent's stop spares it, and keeps.
DROP_IN = {"etc/systemd/system/kest.service.d": (None, 0o755, 0, 0, None),
           "etc/systemd/system/kest.service.d/override.conf":
               (b"[Service]\nKillMode=process\n", 0o644, 0, 0, None)}
TOP_FOLDERS = ("usr/share/kestd", "usr/lib/kestd", "etc/kest", "etc/systemd/system/kest.service.d")
OWN_FILES = ("usr/sbin/kestd", "etc/systemd/system/kest.service",
             "etc/systemd/system/kest-watcher.service")
HIDDEN_LEFTOVER = re.compile(r"\..+\.kest-(update|undo)\.\d+\.\d+")

# The cuts: (name, line of the trial's console to cut at, its occurrence, seconds after it,
# a line that must not come before the cut, releases the next boot may show). ext4 commits its
# journal 5 s after a change: a cut soon after the copy finds it only in the page cache.
CUTS = (
    # The copy enters 17 folders, in readdir's order (the hashes of their names, seeded anew in
    # each image): the cut is halfway through, whichever they are.
    ("during_the_copy", updater_line("Copy to directory /var/kest/update"), 9, 0.0,
     updater_line("Enabling services and reloading systemd"), ("1",)),
    ("right_after_the_stop", updater_line("Stopping systemd service"), 1, 0.0,
     updater_line("Copy to directory"), ("1",)),
    # The copy is over; two `systemctl enable` and a daemon-reload take seconds under TCG.
    ("after_the_copy_before_the_restart", updater_line("Enabling services and reloading systemd"),
     1, 1.5, updater_line("Restart the daemons via systemd"), ("1",)),
    # The last step before the restart, once the copy has reached the disk.
    ("at_the_last_reload_before_the_restart", re.compile(r"systemd\[1\]: Reloading\."), 3, 0.0,
     updater_line("Restart the daemons via systemd"), ("1",)),
    # Release 2 runs, watched for 10 s before the run commits to it.
    ("during_the_watch", updater_line("Restart the daemons via systemd"), 1, 4.0,
     re.compile(r"kest-e2e: update finished"), ("1",)),
    ("after_the_run_ended", re.compile(r"kest-e2e: update finished"), 1, 0.0, None, ("2",)),
)


def _content(release, path, kib):
    """Bytes of their own in each release; release 2's are 100 longer, which tells them apart
    in a failure's text."""
    size = kib * 1024 + random.Random(f"size {path}").randrange(4096) + 100 * int(release)
    return random.Random(f"{release} {path}").randbytes(size)


def release_files(builds, release):
    """Relative path -> (content, mode, owner, group) of every file of a release."""
    files = {path: (content, mode, 0, 0)
             for path, (content, mode) in agent.release_package(builds, release).items()}
    for folder, (count, kib) in FILES.items():
        count += 0 if release == "1" else (1 if count else 3)
        for number in range(count):
            path = f"{folder}/{os.path.basename(folder)}-{number:02d}.dat"
            files[path] = (_content(release, path, kib),
                           *FILE_ATTRIBUTES[number % len(FILE_ATTRIBUTES)])
    return files


def release_1_tree(builds):
    """Path -> (content or None for a folder, mode, owner, group, mtime in s or None) as
    release 1 is installed."""
    tree = {path: (None, *attributes, None) for path, attributes in FOLDERS.items()}
    for number, (path, file) in enumerate(sorted(release_files(builds, "1").items())):
        tree[path] = (*file, RELEASE_1_TIME + number)
    return tree


def release_2_tree(builds, release_1):
    """The tree a whole update leaves: release 2's content, written during the trial (mtime
    None), in files and folders that keep release 1's mode and owners; new ones are root's,
    files with their staged mode, folders 0770; and the drop-in."""
    tree = {path: (None, 0o770, 0, 0, None) for path in NEW_FOLDERS}
    tree.update(DROP_IN)
    tree.update({path: entry for path, entry in release_1.items() if entry[0] is None})
    for path, (content, mode, _owner, _group) in release_files(builds, "2").items():
        old = release_1.get(path)
        tree[path] = (content, *(old[1:4] if old else (mode, 0, 0)), None)
    return tree


def install_release_1(root, tree):
    for path, (content, mode, owner, group, mtime) in sorted(tree.items()):
        host = root.path(path)
        if content is None:
            os.makedirs(host, exist_ok=True)
        else:
            agent.write_file(root, path, content, mode)
            os.utime(host, (mtime, mtime))
        os.chown(host, owner, group)
        os.chmod(host, mode)


def read_tree(mount):
    """The agent's files and folders on a mounted disk, in the form of the release trees
    (mtime in ns)."""
    paths = list(OWN_FILES)
    for top in TOP_FOLDERS:
        paths.append(top)  # those missing are left out below
        for folder, folders, files in os.walk(os.path.join(mount, top)):
            paths += [os.path.relpath(os.path.join(folder, name), mount)
                      for name in folders + files]
    found = {}
    for path in paths:
        host = os.path.join(mount, path)
        if os.path.lexists(host):
            status = os.lstat(host)
            content = None
            if not os.path.isdir(host):
                with open(host, "rb") as f:
                    content = f.read()
            found[path] = (content, status.st_mode & 0o7777, status.st_uid, status.st_gid,
                           status.st_mtime_ns)
    return found


def _size(content):
    return "a folder" if content is None else f"{len(content)} bytes"


def differences(found, tree, since_ns):
    """What keeps the found tree from being the given one: a list of texts."""
    problems = [f"missing {p}" for p in sorted(set(tree) - set(found))]
    problems += [f"extra {p}" for p in sorted(set(found) - set(tree))]
    for path in sorted(set(found) & set(tree)):
        content, mode, owner, group, mtime_ns = found[path]
        want, want_mode, want_owner, want_group, want_mtime = tree[path]
        if content != want:
            problems.append(f"{path}: {_size(content)}, not its {_size(want)}")
        if (mode, owner, group) != (want_mode, want_owner, want_group):
            problems.append(f"{path}: mode {mode:o} {owner}:{group}, "
                            f"not {want_mode:o} {want_owner}:{want_group}")
        if want is None:
            continue  # a folder's time changes with its entries
        if want_mtime is not None and mtime_ns != want_mtime * 10**9:
            problems.append(f"{path}: modified at {mtime_ns} ns, not {want_mtime} s")
        if want_mtime is None and mtime_ns < since_ns:
            problems.append(f"{path}: modified at {mtime_ns} ns, before the trial")
    return problems


def hidden_leftovers(mount):
    return [os.path.join(folder, name)[len(mount):]
            for folder, _folders, files in os.walk(mount)
            for name in files if HIDDEN_LEFTOVER.fullmatch(name)]


class PowerCutTest(unittest.TestCase):
    image = None

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        if cls.builds.kest_update_package is None:
            raise RuntimeError("the power-cut scenario installs kest-update from its package: "
                               "run it with --package-from BUILD_DIR")
        cls.release_1 = release_1_tree(cls.builds)
        cls.release_2 = release_2_tree(cls.builds, cls.release_1)
        cls.image = GuestImage()
        started = time.monotonic()

        def install_tree(root):
            install_release_1(root, cls.release_1)
            agent.put_download(root, {path: file[:2] for path, file
                                      in release_files(cls.builds, "2").items()})
        try:
            cls.image.build(cls.builds.kest_update_package, install_tree)
        except BaseException:
            cls.image.remove()
            raise
        print(f"\nimage built in {time.monotonic() - started:.0f} s", file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        if cls.image is not None:
            cls.image.remove()

    def boot(self, disk, mode):
        machine = VirtualMachine(self.image, disk, mode)
        self.addCleanup(machine.stop)
        return machine

    def cut_and_reboot(self, name, cut_line, occurrence, delay, not_before, releases):
        disk = self.image.copy(f"{name}.img")
        self.addCleanup(os.remove, disk)
        since_ns = time.time_ns() - 5 * 10**9
        trial = self.boot(disk, "update")
        trial.cut_power_at(cut_line, occurrence, delay, not_before)
        trial.start()
        trial_seconds = trial.wait_ended(BOOT_AND_UPDATE_TIMEOUT, f"the cut at {cut_line.pattern}")
        self.assertIsNotNone(trial.cut_time, f"the trial ended before the cut:\n{trial.tail()}")
        [(at, _line)] = trial.matching(cut_line)[occurrence - 1:occurrence]
        if not_before is not None:
            early = [line for t, line in trial.matching(not_before) if t < trial.cut_time]
            self.assertEqual(early, [], "the cut came later than it was meant to")

        check = self.boot(disk, "report").start()
        check_seconds = check.wait_ended(REPORT_TIMEOUT, "the next boot to report and power off")
        print(f"\n{name}: trial {trial_seconds:.0f} s (cut {trial.cut_time - at:.1f} s after its "
              f"line, {at - trial.started:.0f} s after power-on), next boot {check_seconds:.0f} s",
              file=sys.stderr)
        with self.image.mounted(disk) as mount:
            found = read_tree(mount)
            leftovers = hidden_leftovers(mount)
            record = os.path.join(mount, "var/lib/kest-update/undo")
            record_left = os.listdir(record) if os.path.lexists(record) else None
            journal = os.path.join(record, "journal")
            journal_size = os.lstat(journal).st_size if os.path.lexists(journal) else None
        seen = {"1": differences(found, self.release_1, since_ns),
                "2": differences(found, self.release_2, since_ns)}
        whole = [release for release, problems in seen.items() if not problems]
        agents = [line.split() for line in check.trial_lines() if line.startswith("agent ")]
        findings = [f"hidden file left: {path}" for path in leftovers]
        if record_left is not None:
            findings.append(f"the undo record is left: {len(record_left)} entries, its journal "
                            f"{journal_size} bytes")
        if not whole:
            findings += [f"not release {release} ({len(problems)} differences): "
                         + "; ".join(problems[:5]) for release, problems in seen.items()]
        elif whole[0] not in releases:
            findings.append(f"the tree is release {whole[0]}")
        if [[words[1], words[-1]] for words in agents] != [[*whole[:1], agent.EXECUTABLE]]:
            findings.append(f"the trial unit said: {check.trial_lines()}")
        recovery = [line for _, line in check.matching(re.compile(r"kest-update\["))]
        if findings:
            self.fail("\n".join(["after the next boot:", *findings,
                                 "the updater's lines in that boot:", *recovery]))


def _cut_test(row):
    return lambda self: self.cut_and_reboot(*row)


for _row in CUTS:
    setattr(PowerCutTest, f"test_cut_{_row[0]}", _cut_test(_row))
