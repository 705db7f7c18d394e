"""What the agent, as the updater's caller, sees when the updater refuses
to start: its exit status, the log, and an agent left untouched."""

import os
import shutil
import unittest

from harness import agent, expect
from harness.expect import err, info
from harness.clock import now_usec
from harness.wait import wait_for
from bare_case import SYSCALL_FILTER, BareCase

REFUSAL = "Refusing the update directory /var/kest/update: other users can change it"


class CallerTest(BareCase):
    def call(self, *args):
        """Runs the updater as the agent would and returns (exit status,
        lines of ident kest-update)."""
        return self.call_through([agent.UPDATER], *args)

    def call_through(self, command, *args):
        self.since = now_usec()
        caller = self.host.run([*command, *args], check=False)
        return caller.returncode, self.host.updater_lines(self.since)

    def assert_agent_untouched(self):
        self.assertTrue(self.host.process_is(self.old_pid, "kestd"))
        self.assertEqual(agent.read_file(self.host, agent.EXECUTABLE),
                         self.builds.agent_binary("1"))
        self.assertNotIn("kest-update", self.host.process_names().values(),
                         "nothing may be left running after a refusal")
        self.assertEqual(self.host.reaped(), [], "no process may have ended meanwhile")

    def test_wrong_arguments_are_254_or_253_without_a_log_line(self):
        """254 for a wrong argument count, 253 for a pid that is not a number."""
        cases = [((), 254), ((agent.START_COMMAND,), 254),
                 ((agent.START_COMMAND, str(self.old_pid), "extra"), 254)]
        cases += [((agent.START_COMMAND, pid), 253)
                  for pid in ("12x", "kestd", "1.5", f"{self.old_pid} ")]
        for args, status in cases:
            with self.subTest(args=args):
                self.assertEqual(self.call(*args), (status, []))
        self.assert_agent_untouched()

    def stage_release_2(self):
        agent.write_file(self.host, f"{agent.STAGING_ROOT}/usr/sbin/kestd",
                         self.builds.agent_binary("2"), 0o755)

    def test_missing_staging_root_is_refused(self):
        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 1)
        expect.assert_lines(self, lines, [info(expect.STARTED),
                                          err("Failed to change the current update directory")],
                            "log of a missing staging root")
        self.assert_agent_untouched()

    def test_staging_root_that_others_can_change_is_refused(self):
        self.stage_release_2()
        notes = "/usr/share/kestd/notes.txt"
        agent.write_file(self.host, agent.STAGING_ROOT + notes, "notes\n", 0o644)
        tree = "Refusing the update: other users can change {}"
        # The staging root itself, a directory deep in the staged tree open to all, and one
        # above the staging root owned by an ordinary user: each is named by its refusal.
        for path, owner, mode, refusal in (
                (agent.STAGING_ROOT, 0, 0o777, REFUSAL), (agent.STAGING_ROOT, 0, 0o757, REFUSAL),
                (agent.STAGING_ROOT, 1000, 0o755, REFUSAL),
                (agent.STAGING_ROOT + "/usr/share", 0, 0o777, tree.format(agent.STAGING_ROOT
                                                                          + "/usr/share")),
                ("/var/kest", 1000, 0o755, tree.format("/var/kest"))):
            with self.subTest(path=path, owner=owner, mode=oct(mode)):
                host_path = self.host.path(path)
                os.chown(host_path, owner, 0)
                os.chmod(host_path, mode)
                status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
                os.chown(host_path, 0, 0)
                os.chmod(host_path, 0o755)
                self.assertEqual(status, 1)
                expect.assert_lines(self, lines, [info(expect.STARTED), err(refusal)],
                                    "log of a tree that others can change")
                self.assert_agent_untouched()
                self.assertFalse(agent.exists(self.host, notes), "nothing may be installed")

    def test_ordinary_users_can_neither_block_nor_steer_an_update(self):
        self.stage_release_2()
        # An ordinary user holds locks on the staging root and on its parent (waiting for them,
        # as the probes below take them for a moment).
        for path in (agent.STAGING_ROOT, "/var/kest"):
            self.host.run(["sh", "-c", "setsid -f setpriv --reuid=65534 --regid=65534 "
                           f"--clear-groups flock {path} sleep 600 </dev/null >/dev/null 2>&1"])
            wait_for(lambda: self.host.run(["flock", "-n", path, "true"],
                                           check=False).returncode == 1,
                     30, f"the user's lock on {path}")
        # A folder of the agent's given to a user, who links a destination to a root-only file.
        victim = "/etc/kest-victim/shadow"
        agent.write_file(self.host, victim, "secret\n", 0o600)
        os.makedirs(self.host.path("/opt/kest-user"))
        os.chown(self.host.path("/opt/kest-user"), 1000, 1000)
        os.symlink(victim, self.host.path("/opt/kest-user/data.conf"))
        os.lchown(self.host.path("/opt/kest-user/data.conf"), 1000, 1000)
        agent.write_file(self.host, agent.STAGING_ROOT + "/opt/kest-user/data.conf", "planted\n",
                         0o644)

        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 1)
        expect.assert_lines(self, lines, [info(expect.STARTED), err(
            "Refusing the update: other users can change /opt/kest-user")],
                            "log of a destination that another user can steer")
        self.assertEqual(agent.read_file(self.host, victim), b"secret\n")
        self.assert_agent_untouched()

        # Without that entry the update goes on, whatever the user locks.
        shutil.rmtree(self.host.path(agent.STAGING_ROOT + "/opt"))
        status, _ = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 0)
        agent.wait_until_updater_gone(self.host)
        agent.wait_for_release(self.host, "2")
        self.assertNotIn(err("Another update is running"), self.host.updater_lines(self.since))

    def test_link_planted_in_a_folder_a_group_may_write_is_refused(self):
        # Any member of the folder's group can swap its entries: here, for a link to
        # /etc/passwd, which the update would then overwrite.
        passwd = agent.read_file(self.host, "/etc/passwd")
        folder = self.host.path("/opt/kest")
        os.makedirs(folder)
        os.chown(folder, 0, 1000)
        os.chmod(folder, 0o775)
        os.symlink("/etc/passwd", os.path.join(folder, "conf"))
        os.lchown(os.path.join(folder, "conf"), 1000, 1000)
        agent.write_file(self.host, agent.STAGING_ROOT + "/opt/kest/conf", "planted\n", 0o644)
        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 1)
        expect.assert_lines(self, lines, [info(expect.STARTED), err(
            "Refusing the update: other users can change /opt/kest")],
                            "log of a link planted by a group's member")
        self.assertEqual(agent.read_file(self.host, "/etc/passwd"), passwd)
        self.assert_agent_untouched()

    def test_destination_link_into_a_read_only_mount_is_refused_before_the_stop(self):
        # The file a destination link leads to does not exist yet; its folder is read-only.
        self.host.run(["mkdir", "-p", "/srv/ro", "/opt/kest-dl"])
        self.host.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "none", "/srv/ro"])
        self.host.run(["mount", "-o", "remount,ro", "/srv/ro"])
        self.host.run(["ln", "-s", "/srv/ro/conf", "/opt/kest-dl/conf"])
        agent.write_file(self.host, agent.STAGING_ROOT + "/opt/kest-dl/conf", "level=2\n", 0o644)
        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 1)
        expect.assert_lines(self, lines, [info(expect.STARTED), err(
            "Refusing the update: cannot write /opt/kest-dl/conf: Read-only file system")],
                            "log of a destination link into a read-only mount")
        self.assert_agent_untouched()

    def test_full_file_system_is_refused_before_the_stop(self):
        self.host.run(["mkdir", "-p", agent.HELPER_DIR])
        self.host.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "none",
                       agent.HELPER_DIR])
        agent.write_file(self.host, agent.STAGING_ROOT + agent.HELPER, b"h" * 1024 * 1024, 0o755)
        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 1)
        # 1 MiB and a twentieth for metadata.
        expect.assert_lines(self, lines, [info(expect.STARTED), err(
            f"Refusing the update: not enough space on {agent.HELPER_DIR}: "
            "1076 KiB needed, 64 KiB available")], "log of an update that does not fit")
        self.assert_agent_untouched()
        self.assertFalse(agent.exists(self.host, agent.HELPER))

    def test_update_whose_undo_record_cannot_be_kept_is_refused_before_the_stop(self):
        # Under this filter every write of file data fails with ENOSPC while the file systems
        # still report room: the checks pass, and the copies of what the update would change
        # cannot be kept after the caller is released; nothing is stopped or changed.
        self.stage_release_2()
        status, _ = self.call_through([SYSCALL_FILTER, "full-disk", agent.UPDATER],
                                      agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 0)
        agent.wait_until_updater_gone(self.host)
        expect.assert_lines(self, self.host.updater_lines(self.since), [
            info(expect.STARTED),
            err("Refusing the update: cannot write /var/lib/kest-update/undo: "
                "No space left on device"),
            err("Failed to write the result /var/lib/kest-update/result.json: "
                "No space left on device")], "log of an undo record that cannot be kept")
        self.assertTrue(self.host.process_is(self.old_pid, "kestd"))
        self.assertEqual(agent.read_file(self.host, agent.EXECUTABLE),
                         self.builds.agent_binary("1"))
        self.assertEqual(self.killed_processes(), [])

    def test_caller_is_released_before_the_update_runs(self):
        # The caller reads the updater's output through pipes, as a caller
        # using popen would: they must reach their end with the caller's
        # exit, not when the detached update ends.
        self.stage_release_2()
        status, lines = self.call(agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 0)
        # The agent does not end by itself, so the detached updater is still
        # waiting for it now, with nothing stopped yet.
        self.assertIn("kest-update", self.host.process_names().values())
        self.assertTrue(self.host.process_is(self.old_pid, "kestd"))
        self.assertEqual(lines[0], info(expect.STARTED))
        self.assertNotIn(info(expect.COPY + agent.STAGING_ROOT), lines)

        agent.wait_until_updater_gone(self.host)
        self.assertEqual(agent.wait_for_release(self.host, "2"),
                         agent.running_agent(self.host)[1])
        self.assertEqual(self.wait_reaped(self.old_pid).get("signal"), 9)

    def test_careless_callers_state_reaches_no_command(self):
        # A caller that ignores SIGCHLD, blocks SIGTERM and leaves a lock
        # file open: with that state inherited, every command's status would
        # read as a failure with code 255, and the start command would run
        # on each of the five attempts.
        self.stage_release_2()
        agent.refuse_starts(self.host, 1)  # the service command fails with 7
        lock = f"{agent.STATE_DIR}/caller.lock"
        wrapper = (
            "import os, signal, sys\n"
            "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
            "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n"
            f"os.set_inheritable(os.open({lock!r}, os.O_CREAT | os.O_RDWR, 0o600), True)\n"
            "os.execv(sys.argv[1], sys.argv[1:])\n")
        status, _ = self.call_through(["python3", "-c", wrapper, agent.UPDATER],
                                      agent.START_COMMAND, str(self.old_pid))
        self.assertEqual(status, 0)
        agent.wait_until_updater_gone(self.host)
        new_pid = agent.wait_for_release(self.host, "2")

        _before, _walk, after = expect.split_walk(self, self.host.updater_lines(self.since))
        expect.assert_lines(self, after, expect.bare_restart_attempt(service_works=False),
                            "restart lines with the real exit codes")
        starts = [e for e in agent.event_texts(self.host) if e.startswith("start agent 2")]
        self.assertEqual(len(starts), 1, starts)
        held = [os.readlink(self.host.path(f"/proc/{new_pid}/fd/{fd}"))
                for fd in os.listdir(self.host.path(f"/proc/{new_pid}/fd"))]
        self.assertFalse([f for f in held if f.endswith(lock)],
                         f"the caller's descriptor reached the new agent: {held}")


if __name__ == "__main__":
    unittest.main()
