"""Updates on a host without systemd: the updater waits for the agent to
end, kills it when it does not, skips the staged unit files and restarts the
agent through the init script or, failing that, its start command."""

import os
import time
import unittest

from harness import agent, expect
from harness.expect import err, info
from harness.bare_host import InstalledSystemdHost
from harness.clock import now_usec
from harness.wait import wait_for
from bare_case import BareCase


class StopWithoutSystemdTest(BareCase):
    def test_agent_that_ends_by_itself_is_not_killed(self):
        package = agent.release_package(self.builds, "2")
        lines = self.update(package, "USR2")
        self.check_update(lines, package)
        reaped = self.wait_reaped(self.old_pid)
        self.assertEqual(reaped["name"], "kestd")
        self.assertEqual(reaped.get("exit"), 0, reaped)
        self.assertIn(f"end agent 1 {self.old_pid} by itself", agent.event_texts(self.host))
        self.assertEqual(self.killed_processes(), [])

    def test_agent_that_stays_is_killed(self):
        package = agent.release_package(self.builds, "2")
        lines = self.update(package, "USR1")
        self.check_update(lines, package)
        reaped = self.wait_reaped(self.old_pid)
        self.assertEqual((reaped["name"], reaped.get("signal")), ("kestd", 9), reaped)
        self.assertEqual([r["pid"] for r in self.killed_processes()], [self.old_pid])

    def test_second_update_is_refused_while_the_first_runs(self):
        package = agent.release_package(self.builds, "2")
        agent.put_download(self.host, package)
        first = now_usec()
        # The agent stays (USR1): the first update waits 10 s for it before killing it.
        self.host.run(["kill", "-USR1", str(self.old_pid)])
        self.assertEqual(agent.wait_for_update_status(self.host), "exit 0")
        time.sleep(1)

        second = now_usec()
        caller = self.host.run([agent.UPDATER, agent.START_COMMAND, str(self.old_pid)],
                               check=False)
        self.assertEqual(caller.returncode, 1)
        refused = [info(expect.STARTED), err("Another update is running")]
        expect.assert_lines(self, self.host.updater_lines(second), refused,
                            "log of the second update")
        self.assertTrue(self.host.process_is(self.old_pid, "kestd"),
                        "the second update must stop nothing")
        self.assertEqual(self.killed_processes(), [])

        agent.wait_until_updater_gone(self.host)
        lines = self.host.updater_lines(first)
        # The first update logs nothing while it waits for the agent: the second's lines sit
        # between its own as a block.
        at = lines.index(refused[1]) - 1
        self.assertEqual(lines[at:at + 2], refused, expect.format_lines(lines))
        self.check_update(lines[:at] + lines[at + 2:], package)
        self.assertEqual([r["pid"] for r in self.killed_processes()], [self.old_pid])

        # The agent that the first update started does not hold the lock: a third is accepted.
        self.host.run(["rm", "-f", agent.STATE_DIR + "/update-status"])
        self.old_pid = agent.wait_for_release(self.host, "2")
        lines = self.update(package, "USR2")
        self.assertNotIn(refused[1], lines)
        expect.split_walk(self, lines)
        wait_for(lambda: (agent.running_agent(self.host) or ("", self.old_pid))[1] != self.old_pid,
                 30, "the agent restarted by the third update")


class SystemdInstalledNotRunningTest(BareCase):
    host_kind = InstalledSystemdHost

    def test_agent_is_killed_and_restarted_without_systemctl(self):
        self.assertTrue(os.path.isdir(self.host.path("/usr/lib/systemd")))
        answer = self.host.run(["systemctl", "is-system-running"], check=False)
        self.assertNotEqual(answer.returncode, 0, "systemd must not run this host")
        package = agent.release_package(self.builds, "2")
        lines = self.update(package, "USR1")
        # The road without systemd: killed after the probes, no drop-in, the unit files
        # skipped, "service kest start" once, and no systemctl command (it would have failed).
        self.check_update(lines, package)
        self.assertEqual([r["pid"] for r in self.killed_processes()], [self.old_pid])
        self.assertFalse([line for line in lines if "systemctl" in line.message], lines)
        starts = [e for e in agent.event_texts(self.host) if e.startswith("start agent 2")]
        self.assertEqual(len(starts), 1, starts)


class RestartWithoutSystemdTest(BareCase):
    def test_retry_then_start_command(self):
        # Refused: service command and start command of the 1st attempt, the
        # service command of the 2nd; its start command works.
        agent.refuse_starts(self.host, 3)
        package = agent.release_package(self.builds, "2")

        lines = self.update(package, "USR2")

        _before, _walk, after = expect.split_walk(self, lines)
        expected = (expect.bare_restart_attempt(service_works=False)
                    + [expect.failed_start_command(agent.REFUSED_START_STATUS),
                       err("Could not start the daemon. Retry 1")]
                    + expect.bare_restart_attempt(service_works=False))
        expect.assert_lines(self, after, expected, "restart lines")
        agent.wait_for_release(self.host, "2")
        self.assertEqual(agent.event_texts(self.host).count("refused-start 2"), 3)


class UnsafeProcessIdTest(BareCase):
    def test_pid_that_names_no_single_process_signals_nothing(self):
        # kill(-1, ...) would reach every process here, kill(0, ...) the
        # updater's own group: the updater must refuse such values.
        for pid_text in ("-1", "0"):
            with self.subTest(pid=pid_text):
                # Staged directly, without the agent's executable, which is busy.
                self.host.run(["rm", "-rf", agent.STAGING_ROOT])
                agent.write_file(self.host, f"{agent.STAGING_ROOT}/usr/share/kestd/notes.txt",
                                 "notes\n", 0o644)
                since = now_usec()
                caller = self.host.run([agent.UPDATER, agent.START_COMMAND, pid_text], check=False)
                self.assertEqual(caller.returncode, 0)
                agent.wait_until_updater_gone(self.host)
                lines = self.host.updater_lines(since)
                self.assertEqual(lines[1:3], [info("Killing daemon"),
                                              err(f"Invalid agent process id {pid_text}")],
                                 expect.format_lines(lines))
                self.assertEqual(self.killed_processes(), [])
                self.assertTrue(self.host.process_is(self.old_pid, "kestd"),
                                "the running agent must not have been signalled")


if __name__ == "__main__":
    unittest.main()
