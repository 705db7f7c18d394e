"""A throwaway container running a real systemd (journald included), booted
with systemd-nspawn over an overlay of the host's root.

Everything written inside lands in the overlay's upper layer in the work
folder; the host's own /usr, /etc and /var are never written. The agent's
executable /usr/sbin/kestd is bind-mounted from a plain file of the work
folder, because overlayfs lets a running executable be opened for writing
and a real agent's executable is busy while it runs.
"""

import json
import os
import shutil
import subprocess
import unittest

from . import workdir
from .loglines import UPDATER_IDENT, from_journal_entry
from .environment import Environment
from .wait import wait_for

BOOT_TIMEOUT = 30
POWEROFF_TIMEOUT = 15
CONTAINER_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
AGENT_EXECUTABLE = "/usr/sbin/kestd"

# Host units enabled in these targets would slow the boot; opaque empty
# directories in the upper layer hide them.
_HIDDEN_WANTS = ("multi-user", "timers", "sysinit", "getty")


class SystemdContainer(Environment):
    def __init__(self):
        self.workdir = None
        self.nspawn = None
        self.leader = None  # host pid of the container's systemd

    # --- life cycle -------------------------------------------------------

    def boot(self):
        if shutil.which("systemd-nspawn") is None:
            raise unittest.SkipTest("needs systemd-nspawn: apt-get install systemd-container")
        self.workdir = workdir.new_workdir("systemd")
        for sub in ("upper", "work", "root", "exe"):
            os.mkdir(os.path.join(self.workdir, sub))
        self._prepare_upper_layer()
        self._agent_file = os.path.join(self.workdir, "exe", "kestd")
        open(self._agent_file, "w").close()

        root = self.root
        subprocess.run(
            ["mount", "-t", "overlay", "overlay", "-o",
             f"lowerdir=/,upperdir={self.workdir}/upper,workdir={self.workdir}/work", root],
            check=True)
        os.remove(os.path.join(root, "etc/machine-id"))
        subprocess.run(["systemd-machine-id-setup", f"--root={root}"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(self.workdir, "nspawn.log"), "w") as log:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-D", root, "-b", "--register=no", "--keep-unit",
                 "--link-journal=no", "-q", "--console=passive",
                 f"--bind={self._agent_file}:{AGENT_EXECUTABLE}"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        workdir.record_process(self.workdir, self.nspawn.pid)
        try:
            self.leader = wait_for(self._find_leader, BOOT_TIMEOUT,
                                   "the container's systemd to start")
            workdir.record_process(self.workdir, self.leader)
            wait_for(self._booted, BOOT_TIMEOUT, "the container to finish booting")
        except (RuntimeError, AssertionError) as error:
            # The log goes with the work folder at teardown; keep its end.
            raise RuntimeError(f"{error}\nsystemd-nspawn said:\n{self._nspawn_log_tail()}") from None

    def _nspawn_log_tail(self, lines=30):
        try:
            with open(os.path.join(self.workdir, "nspawn.log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no log)"

    def _prepare_upper_layer(self):
        units = os.path.join(self.workdir, "upper/etc/systemd/system")
        for target in _HIDDEN_WANTS:
            wants = os.path.join(units, f"{target}.target.wants")
            os.makedirs(wants)
            os.setxattr(wants, "trusted.overlay.opaque", b"y")
        os.symlink("/usr/lib/systemd/system/multi-user.target",
                   os.path.join(units, "default.target"))
        os.symlink("/dev/null", os.path.join(units, "console-getty.service"))
        sbin = os.path.join(self.workdir, "upper/usr/sbin")
        os.makedirs(sbin)
        open(os.path.join(sbin, "kestd"), "w").close()  # mount point of the bind

    def _find_leader(self):
        if self.nspawn.poll() is not None:
            raise RuntimeError(f"systemd-nspawn ended with {self.nspawn.returncode}")
        try:
            with open(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children") as f:
                children = [int(p) for p in f.read().split()]
        except OSError:
            return None
        for pid in children:
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().strip() == "systemd":
                        return pid
            except OSError:
                pass
        return None

    def _booted(self):
        state = self.run(["systemctl", "is-system-running"], check=False).stdout.strip()
        return state in ("running", "degraded")

    def shutdown(self):
        """Powers the container off and removes every trace; safe to call twice."""
        if self.workdir is None:
            return
        try:
            if self.nspawn is not None and self.nspawn.poll() is None:
                if self.leader is not None:
                    self.run(["systemctl", "poweroff"], check=False, timeout=10)
                try:
                    self.nspawn.wait(timeout=POWEROFF_TIMEOUT)
                except subprocess.TimeoutExpired:
                    workdir.kill_recorded_processes(self.workdir)
                    self.nspawn.wait(timeout=POWEROFF_TIMEOUT)
        finally:
            workdir.kill_recorded_processes(self.workdir)
            workdir.remove_workdir(self.workdir)
            self.workdir = None

    # --- access -----------------------------------------------------------

    @property
    def root(self):
        return os.path.join(self.workdir, "root")

    @property
    def agent_executable_file(self):
        """Host file behind the container's /usr/sbin/kestd."""
        return self._agent_file

    def run(self, argv, check=True, timeout=60, input=None):
        """Runs a command inside the container with a clean environment."""
        result = subprocess.run(
            ["nsenter", "-t", str(self.leader), "-a", "env", "-i", f"PATH={CONTAINER_PATH}",
             *argv],
            input=input, capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} exited with {result.returncode}: "
                                 f"{result.stdout}{result.stderr}")
        return result

    def systemctl(self, *args, check=True):
        return self.run(["systemctl", *args], check=check)

    def unit_property(self, unit, name):
        return self.systemctl("show", "-P", name, unit).stdout.strip()

    def journal(self, since_usec, **fields):
        """Journal entries (dicts) written since the given wall-clock time,
        optionally restricted to matching fields, in journal order."""
        self.run(["journalctl", "--sync"])
        matches = [f"{key}={value}" for key, value in fields.items()]
        out = self.run(["journalctl", "-o", "json", "--no-pager", *matches]).stdout
        entries = [json.loads(line) for line in out.splitlines() if line.strip()]
        return [e for e in entries if int(e["__REALTIME_TIMESTAMP"]) >= since_usec]

    def updater_lines(self, since_usec):
        """The lines of ident kest-update written since the given time."""
        return [from_journal_entry(e)
                for e in self.journal(since_usec, SYSLOG_IDENTIFIER=UPDATER_IDENT)]
