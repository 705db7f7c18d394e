"""Base of the scenarios on a host without systemd: a fresh host per
scenario, with release 1 of the sample agent started by its init script
through the real `service` command."""

import unittest

from harness import agent, expect, session
from harness.bare_host import BareHost
from harness.clock import now_usec
from harness.expect import info
from harness.wait import wait_for

UPDATE_TIMEOUT = 60
SYSCALL_FILTER = "/usr/bin/syscall-filter"


class BareCase(unittest.TestCase):
    maxDiff = None
    host_kind = BareHost
    # A preset of syscall_filter.cpp that the agent, and so the updater it starts, runs under.
    agent_filter = None
    # Staged directories whose destination the update of release 2 must create.
    created_directories = ["/var/kest/update/usr/share/kestd"]

    @classmethod
    def setUpClass(cls):
        cls.builds = agent.Builds()
        with open(cls.builds.kest_update, "rb") as f:
            cls.updater_binary = f.read()

    def setUp(self):
        files = {
            agent.UPDATER: (self.updater_binary, 0o755),
            agent.INIT_SCRIPT: (agent.init_script_text().encode(), 0o755),
        }
        start = ["service", "kest", "start"]
        if self.builds.syscall_filter:
            with open(self.builds.syscall_filter, "rb") as f:
                files[SYSCALL_FILTER] = (f.read(), 0o755)
        if self.agent_filter:
            start = [SYSCALL_FILTER, self.agent_filter, *start]
        self.host = session.bare_host(files, self.host_kind)
        self.addCleanup(session.release_bare_host, self.host)
        agent.install_executable(self.host, self.builds.agent_binary("1"))
        self.host.run(start)
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

    def check_update(self, lines, package):
        """The whole road without systemd: the agent stopped, the staged tree
        but its unit files copied, release 2 started, the updater ended with 0."""
        before, walk, after = expect.split_walk(self, lines)
        expect.assert_lines(self, before, [info(expect.STARTED), info("Killing daemon")],
                            "lines before the walk")
        expect.assert_walk(self, walk, expect.staged_directories(package),
                           created=self.created_directories, skipped=[expect.UNIT_FOLDER])
        expect.assert_lines(self, after, expect.bare_restart_attempt(), "restart lines")

        new_pid = agent.wait_for_release(self.host, "2")
        self.assertNotEqual(new_pid, self.old_pid)
        self.assertEqual(agent.read_file(self.host, agent.EXECUTABLE),
                         self.builds.agent_binary("2"))
        self.assertEqual(agent.file_mode(self.host, "/usr/share/kestd"), 0o770)
        # Without systemd the staged unit files are not installed.
        self.assertFalse(agent.exists(self.host, agent.AGENT_UNIT))
        self.assertFalse(agent.exists(self.host, agent.DROP_IN_DIR))
        self.assertEqual(self.wait_reaped_updater(), {"exit": 0})

    def wait_reaped_updater(self):
        """How the detached updater ended; it was re-parented to PID 1."""
        records = wait_for(
            lambda: [r for r in self.host.reaped() if r["name"] == "kest-update"], 10,
            "the detached updater to be reaped")
        self.assertEqual(len(records), 1, records)
        return {k: v for k, v in records[0].items() if k in ("exit", "signal")}

    def wait_reaped(self, pid):
        """How PID 1 saw the process end: a dict with "exit" or "signal"."""
        def probe():
            records = [r for r in self.host.reaped() if r["pid"] == pid]
            return records[-1] if records else None
        return wait_for(probe, 10, f"process {pid} to be reaped")

    def killed_processes(self):
        return [r for r in self.host.reaped() if r.get("signal") == 9]
