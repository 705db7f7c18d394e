"""Base of the scenarios under real systemd: every scenario starts from
release 1 of the sample agent running under kest.service and kest-watcher,
installed as its own package would install it, and no drop-in."""

import signal
import unittest

from harness import agent, session, systemd_agent
from harness.expect import info


class SystemdCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        cls.box = session.systemd_container()
        systemd_agent.install_updater(cls.box, cls.builds)

    def setUp(self):
        self.reset_agent()

    def reset_agent(self, agent_unit_lines=(), helper=False):
        """Removes every trace of an earlier scenario and installs release 1."""
        systemd_agent.remove_agent(self.box)
        self.old_pid = systemd_agent.install_agent(self.box, self.builds, "1", agent_unit_lines,
                                                   helper)

    def update(self, package, trigger=signal.SIGUSR1):
        """Lets the agent update itself to the package; returns the lines of
        ident kest-update that the update wrote to the journal."""
        status, since = systemd_agent.run_update(self.box, package, trigger)
        self.assertEqual(status, "exit 0",
                         "the agent, as the updater's caller, must see exit status 0")
        lines = self.box.updater_lines(since)
        self.assertNotEqual(lines[-1:], [info("Stopping systemd service")],
                            "the updater's log ends at the stop of kest.service: "
                            "it was killed together with the agent's unit")
        return lines

    def main_pid(self, unit):
        return systemd_agent.main_pid(self.box, unit)

    def is_active(self, unit):
        return systemd_agent.is_active(self.box, unit)
