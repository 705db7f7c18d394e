"""Updates under real systemd that meet failures: an installation that
cannot complete, refused before the agent stops, and restarts that need the
fallbacks and the retries."""

import unittest

from harness import agent, expect, systemd_agent
from harness.expect import err, info
from systemd_case import SystemdCase


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

    def test_every_way_fails_on_every_attempt(self):
        agent.refuse_starts(self.box, 1000)
        package = agent.release_package(self.builds, "2")

        lines = self.update(package)

        _before, _walk, after = expect.split_walk(self, lines)
        expected = []
        for attempt in range(1, 6):
            expected += expect.systemd_restart_attempt(restart_works=False)
            expected.append(expect.failed_start_command(agent.REFUSED_START_STATUS))
            if attempt < 5:
                expected.append(err(f"Could not start the daemon. Retry {attempt}"))
        expected.append(err("Could not start the daemon after 4 retries. Error code 7"))
        expect.assert_lines(self, after, expected, "restart lines")
        self.assertFalse(self.is_active("kest.service"))
        self.assertIsNone(agent.running_agent(self.box))
        # The new files are in place all the same.
        self.assertEqual(agent.read_file(self.box, agent.EXECUTABLE),
                         self.builds.agent_binary("2"))


if __name__ == "__main__":
    unittest.main()
