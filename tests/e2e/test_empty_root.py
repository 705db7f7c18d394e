"""The static kest-update on a host that has nothing else: a root with no C
library, busybox as /bin/sh, the static sample agent and its init script.
Then the same update on what looks like Linux 3.10 (every newer system call
fails with ENOSYS) and in a container whose filter refuses the newer calls
(EPERM): the updater takes the older ways and the agent that stays is killed
by its pid."""

import os
import unittest

from harness import agent
from harness.empty_root import BUSYBOX, EmptyRootHost
from bare_case import BareCase


class EmptyRootTest(BareCase):
    host_kind = EmptyRootHost

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(BUSYBOX):
            raise unittest.SkipTest("needs the static busybox: apt-get install busybox-static")
        super().setUpClass()
    # USR2: the agent ends by itself; USR1: it stays and the updater must kill it.
    agent_signal = "USR2"
    created_directories = ["/var/kest/update/etc/systemd", "/var/kest/update/usr/share",
                           "/var/kest/update/usr/share/kestd"]

    def test_whole_update(self):
        package = agent.release_package(self.builds, "2")
        self.check_update(self.update(package, self.agent_signal), package)
        killed = [r["pid"] for r in self.killed_processes()]
        self.assertEqual(killed, [self.old_pid] if self.agent_signal == "USR1" else [])


class OldKernelTest(EmptyRootTest):
    agent_filter = "old-kernel"
    agent_signal = "USR1"


class RefusedSystemCallsTest(EmptyRootTest):
    agent_filter = "new-refused"
    agent_signal = "USR1"


if __name__ == "__main__":
    unittest.main()
