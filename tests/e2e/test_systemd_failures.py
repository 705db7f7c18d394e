"""Updates under real systemd that meet failures: an installation that
cannot complete, refused before the agent stops, and restarts that need the
fallbacks and the retries."""

import json
import unittest

from harness import agent, expect, systemd_agent
from harness.expect import err, info
from systemd_case import SystemdCase

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


if __name__ == "__main__":
    unittest.main()
