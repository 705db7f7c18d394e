"""Base of the scenarios under real systemd: every scenario starts from
release 1 of the sample agent running under kest.service and kest-watcher,
installed as its own package would install it, and no drop-in."""

import signal
import unittest

from harness import agent, session
from harness.clock import now_usec

UPDATE_TIMEOUT = 60


class SystemdCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        cls.box = session.systemd_container()
        cls._install_updater()

    @classmethod
    def _install_updater(cls):
        with open(cls.builds.kest_update, "rb") as f:
            agent.write_file(cls.box, agent.UPDATER, f.read(), 0o755)

    def setUp(self):
        self.reset_agent()

    # --- the agent's installation ------------------------------------------

    def reset_agent(self, agent_unit_lines=()):
        """Removes every trace of an earlier scenario and installs release 1."""
        box = self.box
        box.systemctl("stop", "kest.service", "kest-watcher.service", check=False)
        box.run(["rm", "-rf", agent.DROP_IN_DIR, agent.STATE_DIR, "/var/kest", "/etc/kest",
                 "/usr/share/kestd"])
        box.systemctl("daemon-reload")
        # With the drop-in gone the stop again ends every process of the unit,
        # such as a copy of the agent that the start command left there.
        box.systemctl("stop", "kest.service", "kest-watcher.service", check=False)
        box.systemctl("disable", "kest.service", "kest-watcher.service", check=False)
        box.systemctl("reset-failed", check=False)
        leftovers = [pid for pid, name in box.process_names().items()
                     if name in ("kestd", "kest-update")]
        self.assertEqual(leftovers, [], "processes of an earlier scenario survived its cleanup")

        agent.install_executable(box, self.builds.agent_binary("1"))
        self.install_units("1", agent_unit_lines)
        box.systemctl("daemon-reload")
        box.systemctl("enable", "--now", "kest-watcher.service", "kest.service")
        self.old_pid = agent.wait_for_release(box, "1")

    def install_units(self, release, agent_unit_lines=()):
        agent.write_file(self.box, agent.AGENT_UNIT,
                         agent.unit_text("kest.service", release, agent_unit_lines), 0o644)
        agent.write_file(self.box, agent.WATCHER_UNIT,
                         agent.unit_text("kest-watcher.service", release), 0o644)

    # --- the update ----------------------------------------------------------

    def update(self, package, trigger=signal.SIGUSR1):
        """Hands the package to the running agent, tells it to update, and
        waits until the updater it started is gone. Returns the lines of
        ident kest-update that the update wrote to the journal."""
        agent.put_download(self.box, package)
        since = now_usec()
        self.box.systemctl("kill", "--kill-who=main", f"--signal={trigger.name}", "kest.service")
        self.assertEqual(agent.wait_for_update_status(self.box), "exit 0",
                         "the agent, as the updater's caller, must see exit status 0")
        agent.wait_until_updater_gone(self.box, UPDATE_TIMEOUT)
        return self.box.updater_lines(since)

    def main_pid(self, unit):
        return int(self.box.unit_property(unit, "MainPID"))

    def is_active(self, unit):
        return self.box.systemctl("is-active", unit, check=False).stdout.strip() == "active"
