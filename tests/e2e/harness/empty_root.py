"""A host without systemd whose root holds nothing of this machine: no C
library, no shared library at all. Its lower layer is made here: a static
busybox (package busybox-static) as /bin/sh and every other command, and the
real `service` script, which runs under busybox. Everything else the
scenario needs (static programs, the init script) comes as upper files; the
PID 1, the /dev/log listener and the mounts are those of BareHost.
"""

import os
import shutil
import subprocess

from .bare_host import BareHost

BUSYBOX = "/bin/busybox"
SERVICE = "/usr/sbin/service"
DIRECTORIES = ("bin", "dev", "etc/init.d", "proc", "run", "tmp", "usr/bin", "usr/sbin",
               "var/lib")


class EmptyRootHost(BareHost):
    # busybox's logger writes to /dev/log and knows no -u.
    logger = ["logger"]

    def prepare_lower(self):
        self.lower = os.path.join(self.workdir, "lower")
        for directory in DIRECTORIES:
            os.makedirs(os.path.join(self.lower, directory), mode=0o755, exist_ok=True)
        # The updater refuses a route to the update that others could change.
        for here, _directories, _files in os.walk(self.lower):
            os.chmod(here, 0o755)
        shutil.copy2(BUSYBOX, os.path.join(self.lower, "bin/busybox"))
        applets = subprocess.run([BUSYBOX, "--list"], check=True, capture_output=True,
                                 text=True).stdout.split()
        for applet in (a for a in applets if a != "busybox"):
            os.symlink("busybox", os.path.join(self.lower, "bin", applet))
        shutil.copy2(SERVICE, os.path.join(self.lower, SERVICE.lstrip("/")))
