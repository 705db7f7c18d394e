"""Updates under real systemd that meet failures: an installation that
cannot complete, refused before the agent stops, and restarts that need the
fallbacks and the retries."""

import json
from datetime import datetime
import unittest

from harness import agent, expect, systemd_agent
from harness.clock import now_usec
from harness.expect import err, info
from harness.wait import wait_for
from systemd_case import SystemdCase

DATA_DIR = "/opt/kest-data"  # a file system of its own, made read-only after the checks
PAUSES = ("230", "35")  # clock_nanosleep and nanosleep on x86-64
RECOVERY_UNIT = "kest-update-recover.service"
RESULT_FILE = "/var/lib/kest-update/result.json"
UNDO_FOLDER = "/var/lib/kest-update/undo"


class InstallationFailureTest(SystemdCase):
    def test_update_that_cannot_be_installed_is_refused_with_the_agent_running(self):
        box = self.box
        # A regular file where the staged tree has a directory.
        agent.write_file(box, "/etc/kest", "not a directory\n", 0o644)
        package = agent.release_package(self.builds, "2")
        package["etc/kest/agent.conf"] = (b"level=2\n", 0o640)
        events_before = len(agent.events(box))

        status, since = systemd_agent.run_update(box, package)

        self.assertEqual(status, "exit 1", "the agent, as the caller, sees the refusal")
        expect.assert_lines(self, box.updater_lines(since), [
            info(expect.STARTED),
            err("Refusing the update: cannot write /etc/kest: Not a directory")],
                            "log of a refused update")
        # Nothing patched, stopped or started: the agent runs on, as the same process.
        self.assertTrue(self.is_active("kest.service"))
        self.assertEqual(self.main_pid("kest.service"), self.old_pid)
        self.assertFalse(agent.exists(box, agent.DROP_IN_DIR))
        new_events = agent.event_texts(box)[events_before:]
        self.assertFalse([e for e in new_events if e.startswith(("end agent", "start agent"))],
                         new_events)
        self.assertEqual(agent.read_file(box, "/etc/kest"), b"not a directory\n")
        self.assertEqual(agent.read_file(box, agent.EXECUTABLE), self.builds.agent_binary("1"))


class RestartFallbackTest(SystemdCase):
    def test_retry_then_service_command(self):
        # Refused: restart (1st attempt), service, start command, restart
        # (2nd attempt); the service command of the 2nd attempt works.
        agent.refuse_starts(self.box, 4)
        package = agent.release_package(self.builds, "2")

        lines = self.update(package)

        _before, _walk, after = expect.split_walk(self, lines)
        expected = (expect.systemd_restart_attempt(restart_works=False)
                    + [expect.failed_start_command(agent.REFUSED_START_STATUS),
                       err("Could not start the daemon. Retry 1")]
                    + expect.systemd_restart_attempt(restart_works=False, service_works=True))
        expect.assert_lines(self, after, expected, "restart lines")
        self.assertEqual(self.main_pid("kest.service"), agent.wait_for_release(self.box, "2"))
        self.assertEqual(agent.event_texts(self.box).count("refused-start 2"), 4)

    def failed_restart(self):
        """The lines of a whole restart that fails on every attempt."""
        lines = []
        for attempt in range(1, 6):
            lines += expect.systemd_restart_attempt(restart_works=False)
            lines.append(expect.failed_start_command(agent.REFUSED_START_STATUS))
            if attempt < 5:
                lines.append(err(f"Could not start the daemon. Retry {attempt}"))
        return lines + [err("Could not start the daemon after 4 retries. Error code 7")]

    def test_release_that_does_not_start_is_rolled_back(self):
        # Every start of release 2 fails (3 ways on each of 5 attempts); release 1 starts.
        agent.refuse_starts(self.box, 15)
        package = agent.release_package(self.builds, "2")

        lines = self.update(package)

        _before, _walk, after = expect.split_walk(self, lines)
        expected = (self.failed_restart() + [expect.ROLLING_BACK]
                    + expect.systemd_restart_attempt() + [expect.ROLLED_BACK])
        expect.assert_lines(self, after, expected, "restart, rollback and restart lines")
        self.assertEqual(self.main_pid("kest.service"), agent.wait_for_release(self.box, "1"))
        self.assertEqual(agent.read_file(self.box, agent.EXECUTABLE),
                         self.builds.agent_binary("1"))
        result = json.loads(agent.read_file(self.box, RESULT_FILE))
        self.assertEqual(
            {k: result[k] for k in ("outcome", "message", "cause", "agent_running")},
            {"outcome": "rolled-back",
             "message": "Could not start the daemon after 4 retries. Error code 7",
             "cause": "", "agent_running": True})
        self.assertFalse(agent.exists(self.box, UNDO_FOLDER), "no record left")

    def test_every_way_fails_on_every_attempt(self):
        agent.refuse_starts(self.box, 1000)
        package = agent.release_package(self.builds, "2")

        lines = self.update(package)

        # The old release is put back and fails to start as well: no second rollback.
        _before, _walk, after = expect.split_walk(self, lines)
        expected = (self.failed_restart() + [expect.ROLLING_BACK] + self.failed_restart()
                    + [expect.ROLLED_BACK])
        expect.assert_lines(self, after, expected, "restart lines")
        self.assertFalse(self.is_active("kest.service"))
        self.assertIsNone(agent.running_agent(self.box))
        self.assertEqual(agent.read_file(self.box, agent.EXECUTABLE),
                         self.builds.agent_binary("1"))
        result = json.loads(agent.read_file(self.box, RESULT_FILE))
        self.assertEqual((result["outcome"], result["agent_running"]), ("rolled-back", False))


class WatchTest(SystemdCase):
    """The watch after the restart: a release whose agent ends within 10 s of its start is rolled
    back, whether systemd leaves it down or keeps restarting it; one that runs on is installed
    only after the watch, and reads its own run's result when it starts."""

    STOPPED = err("The agent stopped within 10 s of its start")

    def dying_release(self, agent_unit_lines):
        agent.write_file(self.box, f"{agent.STATE_DIR}/faults-2", "exit-after-ms 2000\n", 0o644)
        lines = self.update(agent.release_package(self.builds, "2", agent_unit_lines))

        _before, _walk, after = expect.split_walk(self, lines)
        expect.assert_lines(self, after, expect.systemd_restart_attempt()
                            + [self.STOPPED, expect.ROLLING_BACK]
                            + expect.systemd_restart_attempt() + [expect.ROLLED_BACK],
                            "restart, watch, rollback and restart lines")
        self.assertEqual(self.main_pid("kest.service"), agent.wait_for_release(self.box, "1"))
        self.assertEqual(agent.read_file(self.box, agent.EXECUTABLE),
                         self.builds.agent_binary("1"))
        self.assertNotIn(b"Restart=", agent.read_file(self.box, agent.AGENT_UNIT))
        result = json.loads(agent.read_file(self.box, RESULT_FILE))
        self.assertEqual((result["outcome"], result["message"], result["agent_running"]),
                         ("rolled-back", self.STOPPED.message, True))
        self.assertFalse(agent.exists(self.box, UNDO_FOLDER), "no record left")

    def test_release_that_ends_after_its_start_is_rolled_back(self):
        self.dying_release(["Restart=no"])

    def test_release_that_systemd_keeps_restarting_is_rolled_back(self):
        self.dying_release(["Restart=on-failure", "RestartSec=200ms"])

    def test_healthy_release_is_installed_after_the_watch_and_reads_its_own_run(self):
        lines = self.update(agent.release_package(self.builds, "2"))

        self.assertEqual(lines[-1], info("Restart the daemons via systemd"))
        new_pid = agent.wait_for_release(self.box, "2")
        self.assertEqual(self.main_pid("kest.service"), new_pid)
        result = json.loads(agent.read_file(self.box, RESULT_FILE))
        seen = json.loads(agent.read_file(self.box, f"{agent.STATE_DIR}/result-at-start"))
        self.assertEqual((seen["outcome"], seen["id"], seen["ended"]),
                         ("watching", result["id"], ""))
        self.assertEqual(len(result["id"]), 32)
        self.assertEqual((result["outcome"], result["agent_running"]), ("installed", True))
        watched = (datetime.fromisoformat(result["ended"].replace("Z", "+00:00"))
                   - datetime.fromisoformat(result["started"].replace("Z", "+00:00")))
        self.assertGreaterEqual(watched.total_seconds(), 10, "installed only after the watch")


class RecoveryUnitTest(SystemdCase):
    def test_record_of_an_interrupted_update_is_undone_before_the_agent_starts(self):
        box = self.box
        self.assertEqual(box.systemctl("is-enabled", RECOVERY_UNIT).stdout.strip(), "enabled",
                         "the package enables the recovery unit")
        # An update killed half-way: its copy pauses at a destination made read-only once the
        # caller was released, and the updater is killed there.
        box.run(["mkdir", "-p", DATA_DIR])
        box.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "none", DATA_DIR])
        self.addCleanup(lambda: box.run(["umount", DATA_DIR], check=False))
        agent.write_file(box, f"{DATA_DIR}/data.conf", "data=1\n", 0o644)
        agent.write_file(box, "/etc/kest/agent.conf", "level=1\n", 0o644)
        watched = ("/etc/kest/agent.conf", agent.EXECUTABLE, agent.AGENT_UNIT)
        before = {path: agent.read_file(box, path) for path in watched}
        package = agent.release_package(self.builds, "2")
        package["etc/kest/agent.conf"] = (b"level=2\n", 0o644)
        package["opt/kest-data/data.conf"] = (b"data=2\n", 0o644)
        agent.put_download(box, package)
        since = now_usec()
        box.systemctl("kill", "--kill-who=main", "--signal=SIGUSR1", "kest.service")
        self.assertEqual(agent.wait_for_update_status(box), "exit 0")
        box.run(["mount", "-o", "remount,ro", DATA_DIR])
        updater = next(pid for pid, name in box.process_names().items() if name == "kest-update")
        wait_for(lambda: info(expect.COPY + agent.STAGING_ROOT) in box.updater_lines(since), 30,
                 "the copy to begin")

        def pausing():
            with open(box.path(f"/proc/{updater}/syscall")) as f:
                return f.read().split()[0] in PAUSES
        wait_for(pausing, 30, "the copy's pause between attempts")
        box.run(["kill", "-KILL", str(updater)])
        agent.wait_until_updater_gone(box)
        self.assertFalse(self.is_active("kest.service"))

        # As at boot: the recovery and the agent in one transaction, which the unit orders.
        since = now_usec()
        box.systemctl("start", RECOVERY_UNIT, "kest.service")
        expect.assert_lines(self, box.updater_lines(since), [
            info(expect.STARTED), info("Recovering an interrupted update"), expect.ROLLED_BACK],
                            "log of the recovery unit")
        self.assertEqual({path: agent.read_file(box, path) for path in watched}, before)
        self.assertFalse(agent.exists(box, agent.DROP_IN_DIR), "the drop-in goes as well")
        self.assertEqual(self.main_pid("kest.service"), agent.wait_for_release(box, "1"))
        recovered = int(box.unit_property(RECOVERY_UNIT, "ExecMainExitTimestampMonotonic"))
        started = int(box.unit_property("kest.service", "ExecMainStartTimestampMonotonic"))
        self.assertLess(recovered, started, "the recovery ends before the agent starts")
        self.assertEqual(json.loads(agent.read_file(box, RESULT_FILE))["outcome"], "recovered")


if __name__ == "__main__":
    unittest.main()
