"""Updates that succeed under real systemd, started by the agent from inside
its own unit as a real agent starts them."""

import os
import unittest

from harness import agent, expect
from harness.expect import info
from systemd_case import SystemdCase

OVERRIDE_CONTENT = b"[Service]\nKillMode=process\n"


class WholeRoadTest(SystemdCase):
    """The agent's unit lacks KillMode=process: the updater must write the
    drop-in, or the stop of the agent's unit would kill the updater too. The
    release ships a new kest-update, the one that runs the update, and a new
    helper, whose old one outlives the agent's stop and keeps its file busy."""

    def setUp(self):
        self.reset_agent(helper=True)

    def test_update_from_the_agents_own_unit(self):
        box = self.box
        # Installed by an older package with narrower modes; the restart
        # resets them to 644 itself.
        os.chmod(box.path(agent.WATCHER_UNIT), 0o600)
        os.chmod(box.path(agent.AGENT_UNIT), 0o600)
        inode_before = os.stat(box.path(agent.EXECUTABLE)).st_ino
        old_watcher = self.main_pid("kest-watcher.service")
        package = agent.release_package(self.builds, "2")
        busy = {path: os.stat(box.path(path)).st_ino for path in (agent.UPDATER, agent.HELPER)}
        updater = agent.read_file(box, agent.UPDATER)
        self.addCleanup(agent.write_file, box, agent.UPDATER, updater, 0o755)
        package[agent.UPDATER[1:]] = (updater + b"\0shipped with release 2\n", 0o755)
        package[agent.HELPER[1:]] = (self.builds.agent_binary("2"), 0o755)
        [helper] = agent.helper_pids(box, "1")

        lines = self.update(package)

        before, walk, after = expect.split_walk(self, lines)
        expect.assert_systemd_stop(self, before)
        expect.assert_walk(self, walk, expect.staged_directories(package),
                           created=["/var/kest/update/usr/share/kestd"], replaced=list(busy))
        expect.assert_lines(self, after, expect.systemd_restart_attempt(),
                            "the updater must outlive the agent's stop and restart it")

        # The new release runs as the main process of both units.
        new_pid = agent.wait_for_release(box, "2")
        self.assertEqual(self.main_pid("kest.service"), new_pid)
        self.assertNotEqual(new_pid, self.old_pid)
        watcher = agent.read_file(box, f"{agent.STATE_DIR}/watcher").decode().split()
        self.assertEqual(watcher[0], "2", "kest-watcher must have been restarted")
        self.assertEqual(int(watcher[1]), self.main_pid("kest-watcher.service"))
        self.assertNotEqual(int(watcher[1]), old_watcher)
        for unit in ("kest.service", "kest-watcher.service"):
            self.assertEqual(box.systemctl("is-enabled", unit).stdout.strip(), "enabled")
        # systemd reloaded the installed unit files before the restart.
        self.assertEqual(box.unit_property("kest.service", "Description"),
                         "Kest sample agent (release 2)")
        self.assertEqual(box.unit_property("kest.service", "NeedDaemonReload"), "no")

        # systemd stopped the old agent with SIGTERM; nothing else signalled it.
        self.assertIn(f"end agent 1 {self.old_pid} signal 15", agent.event_texts(box))

        # The drop-in, exactly, and systemd honours it.
        self.assertEqual(agent.read_file(box, agent.OVERRIDE), OVERRIDE_CONTENT)
        self.assertEqual(agent.file_mode(box, agent.OVERRIDE), 0o644)
        self.assertEqual(agent.file_mode(box, agent.DROP_IN_DIR), 0o755)
        self.assertEqual(box.unit_property("kest.service", "KillMode"), "process")

        # Files on disk: rewritten in place, modes as the updater promises.
        self.assertEqual(agent.read_file(box, agent.EXECUTABLE), self.builds.agent_binary("2"))
        self.assertEqual(os.stat(box.path(agent.EXECUTABLE)).st_ino, inode_before)
        self.assertEqual(agent.file_mode(box, agent.EXECUTABLE), 0o755)
        for unit_file, (content, _mode) in (
                (agent.AGENT_UNIT, package["etc/systemd/system/kest.service"]),
                (agent.WATCHER_UNIT, package["etc/systemd/system/kest-watcher.service"])):
            self.assertEqual(agent.read_file(box, unit_file), content)
            self.assertEqual(agent.file_mode(box, unit_file), 0o644)
        self.assertEqual(agent.file_mode(box, "/usr/share/kestd"), 0o770)
        self.assertEqual(agent.read_file(box, "/usr/share/kestd/release-notes.txt"),
                         b"release 2\n")
        self.assertEqual(agent.file_mode(box, "/usr/share/kestd/release-notes.txt"), 0o640)
        # The busy files were replaced; the helper lives on, running its old file.
        for path, inode in busy.items():
            self.assertEqual(agent.read_file(box, path), package[path[1:]][0], path)
            self.assertNotEqual(os.stat(box.path(path)).st_ino, inode, path)
            self.assertEqual(agent.file_mode(box, path), 0o755, path)
        self.assertTrue(box.process_is(helper, "kestd-helper"), "the helper must not be killed")
        self.assertEqual(box.run(["readlink", f"/proc/{helper}/exe"]).stdout,
                         agent.HELPER + " (deleted)\n")
        # The staged tree stays where it was.
        self.assertTrue(agent.exists(box, f"{agent.STAGING_ROOT}/usr/sbin/kestd"))


class UnitWithKillModeTest(SystemdCase):
    """The agent's own unit sets KillMode=process: no drop-in is needed, and
    one left by an earlier update is cleaned away."""

    UNIT_LINES = ["KillMode=process"]

    def setUp(self):
        self.reset_agent(agent_unit_lines=self.UNIT_LINES)

    def write_stale_drop_in(self, *other_files):
        agent.write_file(self.box, agent.OVERRIDE, OVERRIDE_CONTENT, 0o644)
        os.chmod(self.box.path(agent.DROP_IN_DIR), 0o755)
        for name in other_files:
            agent.write_file(self.box, f"{agent.DROP_IN_DIR}/{name}",
                             "[Service]\nNice=5\n", 0o644)
        self.box.systemctl("daemon-reload")

    def update_and_check_lines(self, cleaning):
        package = agent.release_package(self.builds, "2", agent_unit_lines=self.UNIT_LINES)
        lines = self.update(package)
        before, walk, after = expect.split_walk(self, lines)
        expected = [info(expect.STARTED), info("Agent service file patching is not required")]
        if cleaning:
            expected.append(info("Cleaning Agent service file patch from previous version"))
        expected.append(info("Stopping systemd service"))
        expect.assert_lines(self, before, expected, "lines before the walk")
        expect.assert_walk(self, walk, expect.staged_directories(package),
                           created=["/var/kest/update/usr/share/kestd"])
        expect.assert_lines(self, after, expect.systemd_restart_attempt(), "restart lines")
        self.assertEqual(self.main_pid("kest.service"), agent.wait_for_release(self.box, "2"))
        self.assertEqual(self.box.unit_property("kest.service", "KillMode"), "process")

    def test_no_drop_in_is_written(self):
        self.update_and_check_lines(cleaning=False)
        self.assertFalse(agent.exists(self.box, agent.DROP_IN_DIR))

    def test_stale_drop_in_is_removed_and_other_drop_ins_stay(self):
        self.write_stale_drop_in("10-nice.conf")
        self.update_and_check_lines(cleaning=True)
        self.assertFalse(agent.exists(self.box, agent.OVERRIDE))
        self.assertEqual(agent.read_file(self.box, f"{agent.DROP_IN_DIR}/10-nice.conf"),
                         b"[Service]\nNice=5\n")

    def test_an_administrators_override_stays_and_applies(self):
        # `systemctl edit kest` writes override.conf too.
        admin = b"[Service]\nLimitNOFILE=4321\n"
        agent.write_file(self.box, agent.OVERRIDE, admin, 0o644)
        os.chmod(self.box.path(agent.DROP_IN_DIR), 0o755)
        self.box.systemctl("daemon-reload")
        self.update_and_check_lines(cleaning=False)
        self.assertEqual(agent.read_file(self.box, agent.OVERRIDE), admin)
        with open(self.box.path(f"/proc/{self.main_pid('kest.service')}/limits")) as f:
            limit = next(line for line in f if line.startswith("Max open files"))
        self.assertEqual(limit.split()[3:5], ["4321", "4321"], limit)

    def test_stale_drop_in_alone_goes_with_its_directory(self):
        self.write_stale_drop_in()
        self.update_and_check_lines(cleaning=True)
        self.assertFalse(agent.exists(self.box, agent.DROP_IN_DIR))


if __name__ == "__main__":
    unittest.main()
