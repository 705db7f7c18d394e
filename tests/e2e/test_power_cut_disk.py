"""Power cuts at chosen instants of an update on a host without systemd. The agent's tree
(/opt/kest) and the updater's record and result (/var/lib/kest-update) lie on an ext4 loop
disk (harness/loop_disk.py); the updater is held at each instant (harness/hold_opens.py) while
the disk is snapshotted. Each snapshot is mounted, as at the next boot, in a fresh host, where
`kest-update --recover` must leave one whole release: the old one for a cut before the run
ended, the new one after it; and no record."""

import collections
import json
import os
import stat
import struct
import unittest

from harness import agent, expect, session
from harness.clock import now_usec
from harness.expect import info
from harness.hold_opens import Holds
from harness.loop_disk import LoopDisk, mount_disk
from harness.wait import wait_for

TREE = "/opt/kest"
STATE_DIR = "/var/lib/kest-update"
UNDO = STATE_DIR + "/undo"
RESULT = STATE_DIR + "/result.json"
DISK_FOLDERS = {"tree": TREE, "state": STATE_DIR}
KiB, MiB = 1 << 10, 1 << 20
MTIME_1 = 1_600_000_000_123_456_789  # of every file of release 1, in ns
UNDEFINED = 0xFFFFFFFF


def posix_acl(*entries):
    """system.posix_acl_access as the kernel keeps it: version 2, then tag, permissions, id."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


# Owner rw, user 1003 r, owning group r, mask r, others nothing: mode 0640.
ACL = posix_acl((0x01, 6, UNDEFINED), (0x02, 4, 1003), (0x04, 4, UNDEFINED),
                (0x10, 4, UNDEFINED), (0x20, 0, UNDEFINED))
# cap_net_raw, permitted and effective (struct vfs_cap_data, revision 2).
CAPABILITY = struct.pack("<IIIII", 0x02000001, 1 << 13, 0, 0, 0)

Old = collections.namedtuple("Old", "size uid gid mode xattrs", defaults=(0, 0, 0o644, {}))
# Path in the tree: (the file in release 1, or None; its size in release 2, or None).
FILES = {
    "bin/kest-probe": (Old(96 * KiB, mode=0o755, xattrs={"security.capability": CAPABILITY}),
                       96 * KiB),
    "bin/kest-run": (Old(40 * KiB, 0, 1002, 0o4750), 44 * KiB),
    "bin/kest-report": (Old(30 * KiB, 1001, 1002, 0o2755), 30 * KiB),
    "etc/kest.conf": (Old(300, 1001, 1002, 0o640, {"user.kest.origin": b"release 1",
                                                   "system.posix_acl_access": ACL}), 280),
    "lib/libkest.so.1": (Old(1 * MiB, mode=0o755), 5 * MiB // 4),
    "data/model-a.bin": (Old(4 * MiB), 4 * MiB),
    "data/model-b.bin": (Old(3 * MiB), 5 * MiB),
    "data/model-c.bin": (None, 4 * MiB),
    "share/doc/OLD-NOTES": (Old(2 * KiB), None),
    **{f"etc/kest.d/{n:02}.conf": (Old(100 + n), 120 + n) for n in range(6)},
    **{f"share/doc/page-{n:02}.txt": (Old(3 * KiB + n), 3 * KiB + 2 * n) for n in range(12)},
    **{f"plugins/p{n}.so": (None, 2 * MiB if n == 0 else 20 * KiB) for n in range(4)},
}

# hold: an item of hold_opens.py (the 2nd open of a tree file for reading, the 12th for
# writing, the 1st start of the agent's executable), "started" (release 2 runs, the updater is
# stopped before its flush) or "ended" (the updater has exited). disk: what reached the disk by
# the cut, beyond what the updater itself flushed: nothing more (AS_LEFT), ext4's journal, as its
# 5 s timer commits it (COMMITTED), or everything, as writeback has done after 30 s (WRITTEN).
Row = collections.namedtuple("Row", "instant hold disk release")
AS_LEFT, COMMITTED, WRITTEN = "as left", "committed", "written back"
EITHER = "1 or 2"
ROWS = [
    Row("keeping the record, before the stop", "read:2", COMMITTED, "1"),
    Row("agent stopped, no file written", "write:1", COMMITTED, "1"),
    Row("1 file written", "write:2", COMMITTED, "1"),
    Row("11 files written", "write:12", COMMITTED, "1"),
    Row("23 files written", "write:24", COMMITTED, "1"),
    Row("all files but the last written", "write:30", COMMITTED, "1"),
    Row("all files but the last written, all on disk", "write:30", WRITTEN, "1"),
    Row("copy done, restart under way", "exec:1", COMMITTED, EITHER),
    Row("copy done, restart under way, all on disk", "exec:1", WRITTEN, EITHER),
    Row("release 2 started, updater held before its flush", "started", COMMITTED, EITHER),
    Row("run ended", "ended", AS_LEFT, "2"),
]

QUIET = [info(expect.STARTED)]
ROLLED_BACK = QUIET + [info("Recovering an interrupted update"), expect.ROLLED_BACK]
COMPLETED = QUIET + [info("Recovering an interrupted update"), info("Completed the update")]

Entry = collections.namedtuple("Entry", "kind content uid gid mode mtime xattrs")


def content(path, release, size):
    line = f"{path} of release {release}\n".encode()
    return (line * (size // len(line) + 1))[:size]


def release_1_state():
    state = {}
    for path, (old, _size) in FILES.items():
        if old is not None:
            state[path] = Entry("file", content(path, 1, old.size), old.uid, old.gid, old.mode,
                                MTIME_1, old.xattrs)
            for folder in [os.path.dirname(path), os.path.dirname(os.path.dirname(path))]:
                if folder:
                    state[folder] = Entry("dir", None, 0, 0, 0o755, None, {})
    return state


def lay_release_1(host):
    for path, (old, _size) in sorted(FILES.items()):
        if old is None:
            continue
        full = host.path(f"{TREE}/{path}")
        os.makedirs(os.path.dirname(full), mode=0o755, exist_ok=True)
        with open(full, "wb") as f:
            f.write(content(path, 1, old.size))
        # Before the set-id bits and the capability, which a change of owner clears.
        os.chown(full, old.uid, old.gid)
        os.chmod(full, old.mode)
        for name, value in old.xattrs.items():
            os.setxattr(full, name, value)
        os.utime(full, ns=(MTIME_1, MTIME_1))


def tree_state(host):
    """Every entry below the tree: relative path -> Entry (no time for a directory, whose time
    moves with what is made and removed in it)."""
    root, found = host.path(TREE), {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            full = os.path.join(folder, name)
            status = os.lstat(full)
            xattrs = {key: os.getxattr(full, key, follow_symlinks=False)
                      for key in os.listxattr(full, follow_symlinks=False)}
            kind, data, mtime = "other", None, status.st_mtime_ns
            if stat.S_ISDIR(status.st_mode):
                kind, mtime = "dir", None
            elif stat.S_ISREG(status.st_mode):
                with open(full, "rb") as f:
                    kind, data = "file", f.read()
            found[os.path.relpath(full, root)] = Entry(
                kind, data, status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode), mtime,
                xattrs)
    return found


def describe(field, value, path, states):
    """A field's value in words: which release it is that of, where it is one's."""
    if field in ("content", "mtime") and value is not None:
        for release, state in states.items():
            if path in state and getattr(state[path], field) == value:
                return f"release {release}'s"
        if field == "mtime":
            return "another"
        return "empty" if not value else f"{len(value)} other bytes"
    if field == "xattrs":
        return "{" + ", ".join(sorted(value)) + "}"
    return oct(value) if field == "mode" else repr(value)


def differences(found, release, states):
    """What found has other than release `release`, grouped: one line per kind of difference."""
    expected, grouped = states[release], collections.defaultdict(list)
    for path in sorted(found.keys() | expected.keys()):
        if path not in found or path not in expected:
            grouped["missing" if path not in found else "extra"].append(path)
            continue
        for field in Entry._fields:
            have, want = getattr(found[path], field), getattr(expected[path], field)
            if have != want:
                grouped[f"{field} {describe(field, have, path, states)} where release "
                        f"{release} has {describe(field, want, path, states)}"].append(path)
    return [f"  {what}: {', '.join(paths)}" for what, paths in grouped.items()]


class PowerCutTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        with open(cls.builds.kest_update, "rb") as f:
            cls.updater_binary = f.read()

    def start_host(self, disk, image, files):
        host = session.bare_host(files, namespace_of=disk.holder.pid)
        self.addCleanup(session.release_bare_host, host)
        mounted = mount_disk(host, image, DISK_FOLDERS)
        self.addCleanup(mounted.close)
        agent.install_executable(host, self.builds.agent_binary("1"))
        return host, mounted

    def test_recovery_leaves_one_whole_release_whenever_the_power_was_cut(self):
        disk = LoopDisk()
        self.addCleanup(disk.close)
        host, mounted = self.start_host(disk, disk.image, {
            agent.UPDATER: (self.updater_binary, 0o755),
            agent.INIT_SCRIPT: (agent.init_script_text().encode(), 0o755)})
        host.run(["service", "kest", "start"])
        old_pid = agent.wait_for_release(host, "1")
        lay_release_1(host)
        mounted.flush()
        states = {"1": release_1_state()}
        self.assertEqual(differences(tree_state(host), "1", states), [], "release 1 as laid")
        package = {f"opt/kest/{path}": (content(path, 2, size), 0o644)
                   for path, (_old, size) in FILES.items() if size is not None}
        package["usr/sbin/kestd"] = (self.builds.agent_binary("2"), 0o755)
        agent.put_download(host, package)

        holds_in_order = list(dict.fromkeys(row.hold for row in ROWS))
        holds = Holds(host, TREE, agent.EXECUTABLE, [hold for hold in holds_in_order if ":" in hold])
        self.addCleanup(holds.close)
        images = {}

        def snapshot(hold):
            stages = [AS_LEFT, COMMITTED, WRITTEN]
            for row in sorted((row for row in ROWS if row.hold == hold),
                              key=lambda row: stages.index(row.disk)):
                {AS_LEFT: lambda: None, COMMITTED: mounted.commit, WRITTEN: mounted.flush}[
                    row.disk]()
                images[row] = disk.snapshot(f"cut-{len(images)}")

        host.run(["kill", "-USR2", str(old_pid)])
        for hold in holds_in_order[:holds_in_order.index("exec:1")]:
            holds.wait(hold)
            snapshot(hold)
            holds.go()
        holds.wait("exec:1")
        snapshot("exec:1")
        # The updater waits for `service kest start`: stopped now, it stays before its flush.
        updater = next(pid for pid, name in host.process_names().items() if name == "kest-update")
        host.run(["kill", "-STOP", str(updater)])
        wait_for(lambda: agent.read_file(host, f"/proc/{updater}/stat").split()[2] == b"T", 10,
                 "the updater to stop")
        holds.go()
        agent.wait_for_release(host, "2")
        snapshot("started")
        host.run(["kill", "-CONT", str(updater)])
        agent.wait_until_updater_gone(host)
        snapshot("ended")

        self.assertEqual(agent.update_status(host), "exit 0")
        self.assertEqual([{k: r.get(k) for k in ("exit", "signal")} for r in host.reaped()
                          if r["name"] == "kest-update"], [{"exit": 0, "signal": None}])
        states["2"] = tree_state(host)
        self.assertEqual({path: entry.content for path, entry in states["2"].items()
                          if entry.kind == "file"},
                         {path: content(path, 2, size) if size else content(path, 1, old.size)
                          for path, (old, size) in FILES.items()}, "release 2 as installed")
        self.assertEqual(sorted(states["2"]["bin/kest-probe"].xattrs), [],
                         "the kernel drops a file's capability when it is written")
        self.assertFalse(agent.exists(host, UNDO))

        for row in ROWS:
            with self.subTest(row.instant):
                self.check_recovery(row, disk, images[row], states)

    def check_recovery(self, row, disk, image, states):
        """Boots the snapshot in a fresh host, runs --recover and checks what it leaves."""
        host, mounted = self.start_host(disk, image,
                                        {agent.UPDATER: (self.updater_binary, 0o755)})
        since = now_usec()
        recovered = host.run([agent.UPDATER, "--recover"], check=False)
        lines = host.updater_lines(since)
        problems = []
        if recovered.returncode != 0:
            problems.append(f"--recover exited with {recovered.returncode}")
        allowed = {"1": [QUIET, ROLLED_BACK], "2": [QUIET, COMPLETED]}.get(
            row.release, [QUIET, ROLLED_BACK, COMPLETED])
        if lines not in allowed:
            problems.append("its log:\n" + expect.format_lines(lines))
        release = "1" if lines == ROLLED_BACK else "2" if lines == COMPLETED else row.release
        found = tree_state(host)
        candidates = ["1", "2"] if release == EITHER else [release]
        if all(differences(found, one, states) for one in candidates):
            for one in candidates:
                problems += [f"the tree, against release {one}:"] + differences(found, one,
                                                                                states)
        if agent.exists(host, UNDO):
            problems.append(f"record left: {sorted(os.listdir(host.path(UNDO)))}")
        if lines in (ROLLED_BACK, COMPLETED):
            result = json.loads(agent.read_file(host, RESULT))
            want = {"outcome": "recovered", "agent_running": False} if lines == ROLLED_BACK \
                else {"outcome": "installed"}
            if {key: result.get(key) for key in want} != want:
                problems.append(f"result: {result}")
        mounted.close()
        session.release_bare_host(host)
        if problems:
            self.fail(f"cut {row.instant}:\n" + "\n".join(problems))


if __name__ == "__main__":
    unittest.main()
