"""Base of the scenarios on a host without systemd: a fresh host per
scenario, with release 1 of the sample agent started by its init script
through the real `service` command."""

import unittest

from harness import agent, session
from harness.clock import now_usec
from harness.wait import wait_for

UPDATE_TIMEOUT = 60


class BareCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        with open(cls.builds.kest_update, "rb") as f:
            cls.updater_binary = f.read()

    def setUp(self):
        self.host = session.bare_host({
            agent.UPDATER: (self.updater_binary, 0o755),
            agent.INIT_SCRIPT: (agent.init_script_text().encode(), 0o755),
        })
        self.addCleanup(session.release_bare_host, self.host)
        agent.install_executable(self.host, self.builds.agent_binary("1"))
        self.host.run(["service", "kest", "start"])
        self.old_pid = agent.wait_for_release(self.host, "1")

    def update(self, package, signal_name):
        """Hands the package to the running agent, signals it, and waits until
        the updater it started is gone. Returns the updater's log lines."""
        agent.put_download(self.host, package)
        since = now_usec()
        self.host.run(["kill", f"-{signal_name}", str(self.old_pid)])
        self.assertEqual(agent.wait_for_update_status(self.host), "exit 0",
                         "the agent, as the updater's caller, must see exit status 0")
        agent.wait_until_updater_gone(self.host, UPDATE_TIMEOUT)
        return self.host.updater_lines(since)

    def wait_reaped(self, pid):
        """How PID 1 saw the process end: a dict with "exit" or "signal"."""
        def probe():
            records = [r for r in self.host.reaped() if r["pid"] == pid]
            return records[-1] if records else None
        return wait_for(probe, 10, f"process {pid} to be reaped")

    def killed_processes(self):
        return [r for r in self.host.reaped() if r.get("signal") == 9]
