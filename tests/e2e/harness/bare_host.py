"""A host without systemd: fresh mount and pid namespaces over an overlay of
/ with a fresh /run (so no /run/systemd/system) in which /usr/lib/systemd (and
so /lib/systemd) cannot be opened either, unless the host keeps systemd
installed; with the suite's own PID 1 (bare_init.py), which reaps, and its own
/dev/log listener.

All mounts live in the private mount namespace and vanish with it; the
namespace ends when unshare ends, and unshare ends with the suite's process
(parent-death signal), so even a killed run leaves no process behind.
"""

import ctypes
import json
import os
import signal
import subprocess
import sys

from . import workdir
from .environment import Environment
from .loglines import UPDATER_IDENT, from_syslog_datagram
from .wait import wait_for

START_TIMEOUT = 15
HOST_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bare_init.py")
_PR_SET_PDEATHSIG = 1


def die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


class BareHost(Environment):
    # The lower layer of the host's root, and its command that logs a line to /dev/log.
    lower = "/"
    logger = ["logger", "-u", "/dev/log"]
    # Whether systemd's files (/usr/lib/systemd, systemctl) stay visible; it never runs here.
    systemd_installed = False

    def __init__(self, namespace_of=None):
        self.workdir = None
        self.unshare = None
        # A process whose mount namespace the host's is copied from, instead of this one's.
        self.namespace_of = namespace_of

    def prepare_lower(self):
        """Lays out the lower layer in the work folder where it is not /."""

    def start(self, upper_files):
        """Starts the host; upper_files maps paths inside it to (content, mode)
        and is laid into the overlay's upper layer before it is mounted."""
        self.workdir = workdir.new_workdir("bare")
        for sub in ("upper", "work", "root", "exe"):
            os.mkdir(os.path.join(self.workdir, sub))
        self.prepare_lower()
        upper = os.path.join(self.workdir, "upper")
        os.makedirs(f"{upper}/usr/lib")
        if not self.systemd_installed:
            os.mknod(f"{upper}/usr/lib/systemd", 0o600 | 0o020000, os.makedev(0, 0))  # whiteout
        for inside, (content, mode) in upper_files.items():
            host = os.path.join(upper, inside.lstrip("/"))
            os.makedirs(os.path.dirname(host), exist_ok=True)
            with open(host, "wb") as f:
                f.write(content)
            os.chmod(host, mode)
        os.makedirs(f"{upper}/usr/sbin", exist_ok=True)
        open(f"{upper}/usr/sbin/kestd", "w").close()  # mount point of the bind
        open(self.agent_executable_file, "w").close()

        enter = ["nsenter", "-t", str(self.namespace_of), "-m", "--"] if self.namespace_of else []
        self.unshare = subprocess.Popen(
            [*enter, "unshare", "--mount", "--pid", "--fork", "--propagation", "private",
             "--kill-child", sys.executable, INIT, self.workdir, self.lower],
            stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        workdir.record_process(self.workdir, self.unshare.pid)
        wait_for(self._ready, START_TIMEOUT, "the host without systemd to come up")
        self.leader = wait_for(self._find_init, START_TIMEOUT, "its PID 1")

    def _ready(self):
        if self.unshare.poll() is not None:
            raise RuntimeError(f"the host without systemd ended with {self.unshare.returncode}")
        return os.path.exists(os.path.join(self.workdir, "ready"))

    def _find_init(self):
        with open(f"/proc/{self.unshare.pid}/task/{self.unshare.pid}/children") as f:
            children = f.read().split()
        return int(children[0]) if children else None

    def stop(self):
        """Ends the namespaces (and so every process and mount in them) and
        removes the work folder; safe to call twice."""
        if self.workdir is None:
            return
        try:
            if self.unshare is not None and self.unshare.poll() is None:
                self.unshare.kill()  # its child, PID 1, follows by the parent-death signal
                self.unshare.wait(timeout=10)
        finally:
            workdir.remove_workdir(self.workdir)
            self.workdir = None

    @property
    def agent_executable_file(self):
        """Host file behind /usr/sbin/kestd inside."""
        return os.path.join(self.workdir, "exe", "kestd")

    def run(self, argv, check=True, timeout=60, input=None):
        """Runs a command inside, in its namespaces and root, with a clean
        environment. Orphans it leaves are re-parented to the PID 1."""
        result = subprocess.run(
            ["nsenter", "-t", str(self.leader), "-m", "-p", "-r", "-w",
             "env", "-i", f"PATH={HOST_PATH}", *argv],
            input=input, capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} exited with {result.returncode}: "
                                 f"{result.stdout}{result.stderr}")
        return result

    def _records(self, name):
        try:
            with open(os.path.join(self.workdir, name)) as f:
                return [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []

    def log_lines(self, since_usec=0):
        """Every line received on /dev/log since the given time, in order."""
        lines = [from_syslog_datagram(r["datagram"].encode())
                 for r in self._records("syslog.jsonl") if r["usec"] >= since_usec]
        return [l for l in lines if l is not None]

    def updater_lines(self, since_usec=0):
        """The lines of ident kest-update since the given time, once every
        line written before this call has reached the listener."""
        self.sync_log()
        return [l for l in self.log_lines(since_usec) if l.ident == UPDATER_IDENT]

    def sync_log(self):
        """Writes a marker line and waits for it: /dev/log keeps the order of
        datagrams, so every earlier line has been recorded by then."""
        self._markers = getattr(self, "_markers", 0) + 1
        marker = f"sync {self._markers}"
        self.run([*self.logger, "-t", "e2e-marker", "--", marker])
        wait_for(lambda: any(l.ident == "e2e-marker" and l.message == marker
                             for l in self.log_lines()), 10, "the log marker")

    def reaped(self):
        """Processes reaped by PID 1: dicts with pid, name and exit or signal."""
        return self._records("reaped.jsonl")


class InstalledSystemdHost(BareHost):
    """A host with systemd installed but not running it, as a Debian container or a host booted
    with another init: /usr/lib/systemd and systemctl are there, /run/systemd/system is not (the
    host's /run is a fresh tmpfs), and systemctl answers that the system was not booted with
    systemd."""
    systemd_installed = True
