"""Updates that fail after the agent was stopped, on a host without systemd:
the old release comes back, byte for byte and inode for inode, and what the
update created goes; an updater killed half-way leaves a record that
`kest-update --recover` undoes."""

import json
import os
import stat
import struct
import unittest

from harness import agent, expect
from harness.clock import now_usec
from harness.expect import err, info, warning
from harness.wait import wait_for
from bare_case import BareCase

DATA_DIR = "/opt/kest-data"  # a file system of its own, made read-only after the checks
RESULT_FILE = "/var/lib/kest-update/result.json"
UNDO_FOLDER = "/var/lib/kest-update/undo"
NEW_FOLDER = "/opt/kest-new"  # made by the update, in a folder of its own
# clock_nanosleep and nanosleep on x86-64: the updater pauses between attempts at an entry.
PAUSES = ("230", "35")
# Revision 2, permitting CAP_NET_BIND_SERVICE; and owner rw, user 1234 r, group r, mask r.
CAPABILITY = struct.pack("<5I", 0x02000000, 1 << 10, 0, 0, 0)
ACL = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, uid) for tag, perm, uid in (
    (0x01, 6, 0), (0x02, 4, 1234), (0x04, 4, 0), (0x10, 4, 0), (0x20, 0, 0)))


class RollbackCase(BareCase):
    def setUp(self):
        super().setUp()
        self.host.run(["mkdir", "-p", DATA_DIR, "/etc/kest"])
        self.host.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "none", DATA_DIR])
        agent.write_file(self.host, f"{DATA_DIR}/data.conf", "data=1\n", 0o640)
        agent.write_file(self.host, "/etc/kest/agent.conf", "level=1\n", 0o4750)
        # What a rollback must bring back with the bytes: a file capability and an access ACL.
        os.setxattr(self.host.path("/etc/kest/agent.conf"), "security.capability", CAPABILITY)
        os.setxattr(self.host.path(f"{DATA_DIR}/data.conf"), "system.posix_acl_access", ACL)
        self.package = agent.release_package(self.builds, "2")
        self.package["etc/kest/agent.conf"] = (b"level=2\n", 0o644)
        self.package["opt/kest-data/data.conf"] = (b"data=2\n", 0o644)
        # In a folder the update creates, where a failed release may write files of its own.
        self.package[f"{NEW_FOLDER[1:]}/notes.txt"] = (b"notes of release 2\n", 0o644)
        # What the update would change or create, as it stands before it.
        self.watched = sorted({"/" + relative for relative in self.package} |
                              {os.path.dirname("/" + relative) for relative in self.package})
        self.before = self.state()

    def state(self):
        """Type, bytes, inode, owner, group, mode, time and extended attributes of each watched
        path (a directory's time moves with what is made and removed in it)."""
        found = {}
        for path in self.watched:
            try:
                status = os.lstat(self.host.path(path))
            except FileNotFoundError:
                continue
            regular = stat.S_ISREG(status.st_mode)
            found[path] = (stat.S_IFMT(status.st_mode),
                           agent.read_file(self.host, path) if regular else None,
                           status.st_ino, status.st_uid, status.st_gid,
                           stat.S_IMODE(status.st_mode), status.st_mtime_ns if regular else None,
                           {name: os.getxattr(self.host.path(path), name, follow_symlinks=False)
                            for name in os.listxattr(self.host.path(path), follow_symlinks=False)})
        return found

    def result(self):
        return json.loads(agent.read_file(self.host, RESULT_FILE))


class RollbackTest(RollbackCase):
    def start_failing_update(self, signal_name):
        """Starts the update and, once the caller is released, makes DATA_DIR read-only: the
        copy then fails there after its attempts."""
        agent.put_download(self.host, self.package)
        self.since = now_usec()
        self.host.run(["kill", f"-{signal_name}", str(self.old_pid)])
        self.assertEqual(agent.wait_for_update_status(self.host), "exit 0")
        self.host.run(["mount", "-o", "remount,ro", DATA_DIR])

    def test_write_that_fails_after_the_stop_brings_the_old_release_back(self):
        self.start_failing_update("USR1")
        agent.wait_until_updater_gone(self.host, 90)

        lines = self.host.updater_lines(self.since)
        failed = lines.index(err("Error while copying update -2"))
        self.assertEqual(lines[failed - 2:failed], [
            err(f"Cannot write {DATA_DIR}/data.conf: Read-only file system"),
            err(f"Failed to copy {agent.STAGING_ROOT}{DATA_DIR}/data.conf: error -2")],
                         expect.format_lines(lines))
        expect.assert_lines(self, lines[failed + 1:], [expect.ROLLING_BACK]
                            + expect.bare_restart_attempt() + [expect.ROLLED_BACK],
                            "rollback lines")
        self.assertEqual(self.state(), self.before)
        self.assertEqual(agent.wait_for_release(self.host, "1"), agent.running_agent(self.host)[1])
        self.assertEqual((self.result()["outcome"], self.result()["agent_running"]),
                         ("rolled-back", True))
        self.assertFalse(agent.exists(self.host, UNDO_FOLDER), "no record left")

    def test_updater_killed_half_way_is_undone_by_recover(self):
        self.start_failing_update("USR2")
        # The agent ends by itself, the copy begins, then pauses between its attempts at
        # DATA_DIR.
        updater = next(pid for pid, name in self.host.process_names().items()
                       if name == "kest-update")
        wait_for(lambda: info(expect.COPY + agent.STAGING_ROOT) in
                 self.host.updater_lines(self.since), 30, "the copy to begin")

        def pausing():
            with open(self.host.path(f"/proc/{updater}/syscall")) as f:
                return f.read().split()[0] in PAUSES
        wait_for(pausing, 30, "the copy's pause between attempts")
        self.host.run(["kill", "-KILL", str(updater)])
        agent.wait_until_updater_gone(self.host)
        self.assertTrue(agent.exists(self.host, UNDO_FOLDER), "the killed run left its record")

        since = now_usec()
        recover = self.host.run([agent.UPDATER, "--recover"], check=False)
        self.assertEqual(recover.returncode, 0, recover.stderr)
        expect.assert_lines(self, self.host.updater_lines(since), [
            info(expect.STARTED), info("Recovering an interrupted update"), expect.ROLLED_BACK],
                            "log of the recovery")
        self.assertEqual(self.state(), self.before)
        self.assertEqual(self.result()["outcome"], "recovered")
        self.assertFalse(agent.exists(self.host, UNDO_FOLDER), "no record left")

        # Nothing is left to recover: the run says nothing more and leaves the result alone.
        since = now_usec()
        self.assertEqual(self.host.run([agent.UPDATER, "--recover"], check=False).returncode, 0)
        self.assertEqual(self.host.updater_lines(since), [info(expect.STARTED)])
        self.assertEqual(self.result()["outcome"], "recovered")


class AfterItsStartTest(RollbackCase):
    """A new release that fails once it has started: rolled back exactly, nothing of it left
    running; a release that keeps running is kept only after the watch, and a run killed during
    the watch keeps it."""

    STOPPED = err("The agent stopped within 10 s of its start")

    def faults(self, *lines):
        agent.write_file(self.host, f"{agent.STATE_DIR}/faults-2", "".join(l + "\n" for l in lines),
                         0o644)

    def release_2_pids(self):
        prefix = "start agent 2 "
        return [int(t[len(prefix):]) for t in agent.event_texts(self.host) if t.startswith(prefix)]

    def assert_rolled_back(self, message, kept=()):
        """Release 1 back and running, exactly as it was but for what others left in `kept`."""
        self.assertEqual(agent.wait_for_release(self.host, "1"), agent.running_agent(self.host)[1])
        after = self.state()
        for folder in kept:
            self.assertEqual(after.pop(folder)[0], stat.S_IFDIR)
            self.before.pop(folder, None)
        self.assertEqual(after, self.before)
        self.assertEqual((self.result()["outcome"], self.result()["message"]),
                         ("rolled-back", message))
        self.assertFalse(agent.exists(self.host, UNDO_FOLDER), "no record left")
        self.assertFalse([p for p in self.release_2_pids() if self.host.process_is(p, "kestd")],
                         "nothing of release 2 runs")

    def test_start_that_leaves_processes_and_files_is_rolled_back_exactly(self):
        # Each start launches release 2 and fails: ten of them run when the restart gives up.
        self.faults("start-then-fail", f"write {NEW_FOLDER}/runtime.log")
        lines = self.update(self.package, "USR1")
        rolling = lines.index(expect.ROLLING_BACK)
        self.assertEqual(lines[rolling - 1],
                         err("Could not start the daemon after 4 retries. Error code 1"))
        expect.assert_lines(self, lines[rolling:], [
            expect.ROLLING_BACK, warning(f"Keeping {NEW_FOLDER}: Directory not empty")]
                            + expect.bare_restart_attempt() + [expect.ROLLED_BACK],
                            "rollback lines")
        started = self.release_2_pids()
        self.assertGreater(len(started), 1, "release 2 was left running")
        self.assertEqual([self.wait_reaped(pid).get("signal") for pid in started],
                         [9] * len(started), "each killed before the undo")
        self.assert_rolled_back(lines[rolling - 1].message, kept=[NEW_FOLDER])
        self.assertEqual(os.listdir(self.host.path(NEW_FOLDER)), ["runtime.log"])

    def dies_after_its_start(self, refused_starts):
        self.faults("exit-after-ms 2000")
        agent.refuse_starts(self.host, refused_starts)
        lines = self.update(self.package, "USR1")
        watched = lines.index(self.STOPPED)
        self.assertEqual(lines[watched + 1:watched + 2], [expect.ROLLING_BACK])
        self.assertEqual(lines[-1], expect.ROLLED_BACK)
        self.assert_rolled_back(self.STOPPED.message)

    def test_release_started_by_its_init_script_that_dies_is_rolled_back(self):
        self.dies_after_its_start(0)

    def test_release_started_by_the_start_command_that_dies_is_rolled_back(self):
        self.dies_after_its_start(1)  # the service command is refused once

    def test_release_that_keeps_running_is_installed_after_the_watch(self):
        # Release 2 as a script under its interpreter, which keeps running.
        script = (b"#!/bin/sh\n[ \"$1\" = --daemon ] && { \"$0\" --run </dev/null >/dev/null 2>&1 &"
                  b" exit 0; }\nwhile :; do sleep 1; done\n")
        self.package["usr/sbin/kestd"] = (script, 0o755)
        lines = self.update(self.package, "USR1")
        self.assertEqual(lines[-1], info("Start the daemon via 'service' command"))
        self.assertEqual(self.result()["outcome"], "installed")
        self.assertTrue(self.result()["agent_running"])
        self.assertFalse(agent.exists(self.host, UNDO_FOLDER), "no record left")

    def test_run_killed_during_the_watch_keeps_the_new_release(self):
        agent.put_download(self.host, self.package)
        self.host.run(["kill", "-USR1", str(self.old_pid)])
        self.assertEqual(agent.wait_for_update_status(self.host), "exit 0")
        new_pid = agent.wait_for_release(self.host, "2")
        seen = json.loads(agent.read_file(self.host, f"{agent.STATE_DIR}/result-at-start"))
        self.assertEqual(seen["outcome"], "watching", "the new agent reads its own run")
        self.assertEqual(self.result(), seen)
        updater = next(p for p, n in self.host.process_names().items() if n == "kest-update")
        self.host.run(["kill", "-KILL", str(updater)])
        agent.wait_until_updater_gone(self.host)

        since = now_usec()
        recover = self.host.run([agent.UPDATER, "--recover"], check=False)
        self.assertEqual(recover.returncode, 0, recover.stderr)
        expect.assert_lines(self, self.host.updater_lines(since), [
            info(expect.STARTED), info("Recovering an interrupted update"),
            info("Completed the update")], "log of the recovery")
        self.assertEqual((self.result()["outcome"], self.result()["agent_running"]),
                         ("installed", False))
        self.assertNotEqual(self.result()["id"], seen["id"], "the recovery's own run")
        self.assertFalse(agent.exists(self.host, UNDO_FOLDER), "no record left")
        self.assertEqual(agent.running_agent(self.host), ("2", new_pid))
        self.assertEqual(agent.read_file(self.host, "/etc/kest/agent.conf"), b"level=2\n")


if __name__ == "__main__":
    unittest.main()
