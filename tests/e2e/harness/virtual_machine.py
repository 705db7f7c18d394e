"""A real virtual machine whose power can be cut: qemu under TCG (guests hang under KVM on
these machines), booting Debian's kernel and initrd from a root file system that mmdebstrap
makes from the machine's own apt sources, with systemd as pid 1, kest-update installed from
the Debian package of this build and the sample agent enabled under kest.service.

The journal goes to the serial console (journald's ForwardToConsole), which the host reads
line by line, so a trial can SIGKILL the emulator at a chosen line: what the guest still held
in its page cache is lost, what it had written to its disk stays (the host itself never
crashes, so the disk runs with cache=unsafe). The test's own unit (guest_trial.sh) reads its
mode from the kernel command line. Everything lives in a work folder of its own below
/tmp/kest-e2e, removed at the end.
"""

import atexit
import glob
import os
import re
import shutil
import subprocess
import threading
import time
import unittest
from contextlib import contextmanager

from . import agent, workdir
from .wait import wait_for

SOURCES = "/etc/apt/sources.list.d/debian.sources"
EMULATOR = "qemu-system-x86_64"  # its command name, as /proc shows it, is the first 15 bytes
IMAGE_SIZE = "2G"
MEMORY_MIB = 1024
GUEST_PACKAGES = ("linux-image-amd64", "systemd-sysv", "udev", "e2fsprogs")
# A small initrd: the modules that mount the virtio root and nothing else.
INITRD_MODULES = ("virtio_pci", "virtio_blk", "ext4", "crc32c_generic")
TRIAL_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest_trial.sh")
TRIAL_UNIT = """[Unit]
Description=Step of the power-cut trial named on the kernel command line
After=kest.service

[Service]
ExecStart=/usr/local/lib/kest-e2e/trial

[Install]
WantedBy=multi-user.target
"""
JOURNAL_TO_CONSOLE = "[Journal]\nForwardToConsole=yes\nTTYPath=/dev/ttyS0\nMaxLevelConsole=info\n"
# Units that only slow the boot down or write to the serial console.
MASKED = ("getty.target", "serial-getty@ttyS0.service", "e2scrub_reap.service",
          "apt-daily.timer", "apt-daily-upgrade.timer", "e2scrub_all.timer", "fstrim.timer")
TRIAL_LINE = re.compile(r"kest-e2e: (.*)")


def updater_line(text):
    """Pattern of a line of kest-update as journald forwards it to the console."""
    return re.compile(r"kest-update\[\d+\]: " + re.escape(text))


class Root:
    """A root folder seen as an environment of agent.py (path of a path inside it)."""

    def __init__(self, folder):
        self.folder = folder

    def path(self, inside):
        return os.path.join(self.folder, inside.lstrip("/"))


class GuestImage:
    """The disk image of the guest, built once; trials boot copies of it."""

    def __init__(self):
        for tool, package in ((EMULATOR, "qemu-system-x86"),
                              ("mmdebstrap", "mmdebstrap"), ("mkfs.ext4", "e2fsprogs")):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"needs {tool}: apt-get install {package}")
        self.workdir = workdir.new_workdir("power-cut")
        self.image = os.path.join(self.workdir, "base.img")
        self.kernel = self.initrd = None
        atexit.register(self.remove)  # also when a signal ends the run before its teardown

    def build(self, updater_package, install_tree):
        """Makes the root, installs the updater's package, calls install_tree(Root) to put the
        agent's files in, enables the agent's units and the trial's, and writes the image."""
        root = os.path.join(self.workdir, "root")
        modules = "\\n".join(INITRD_MODULES)
        essential_hook = (
            'mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/usr/share/initramfs-tools/modules.d"'
            ' && echo MODULES=list > "$1/etc/initramfs-tools/conf.d/kest-e2e"'
            f' && printf "{modules}\\n" > "$1/usr/share/initramfs-tools/modules.d/kest-e2e"')
        self._run_logged(
            ["mmdebstrap", "--variant=minbase", "--include=" + ",".join(GUEST_PACKAGES),
             *(f"--dpkgopt=path-exclude=/usr/share/{d}/*" for d in ("doc", "man", "locale")),
             f"--essential-hook={essential_hook}", "bookworm", root, SOURCES], "mmdebstrap.log")
        [self.kernel] = glob.glob(os.path.join(root, "boot/vmlinuz-*"))
        [self.initrd] = glob.glob(os.path.join(root, "boot/initrd.img-*"))
        self.kernel = shutil.copy(self.kernel, self.workdir)
        self.initrd = shutil.copy(self.initrd, self.workdir)

        files = Root(root)
        agent.write_file(files, "/etc/fstab", "/dev/vda / ext4 rw 0 1\n", 0o644)
        agent.write_file(files, "/etc/systemd/journald.conf.d/kest-e2e.conf", JOURNAL_TO_CONSOLE,
                         0o644)
        agent.write_file(files, "/etc/systemd/system/kest-e2e-trial.service", TRIAL_UNIT, 0o644)
        with open(TRIAL_SCRIPT) as f:
            agent.write_file(files, "/usr/local/lib/kest-e2e/trial", f.read(), 0o755)
        shutil.copy(updater_package, os.path.join(root, "tmp/kest-update.deb"))
        self._run_logged(["chroot", root, "dpkg", "-i", "/tmp/kest-update.deb"], "dpkg.log")
        os.remove(os.path.join(root, "tmp/kest-update.deb"))
        install_tree(files)
        self._run_logged(["chroot", root, "systemctl", "enable", "kest-watcher.service",
                          "kest.service", "kest-e2e-trial.service"], "systemctl.log")
        self._run_logged(["chroot", root, "systemctl", "mask", *MASKED], "systemctl.log")
        enabled = subprocess.run(["chroot", root, "systemctl", "is-enabled",
                                  "kest-update-recover.service"], capture_output=True, text=True)
        if enabled.stdout.strip() != "enabled":
            raise AssertionError(f"the package left its recovery unit {enabled.stdout.strip()!r}")
        self._run_logged(["mkfs.ext4", "-q", "-d", root, self.image, IMAGE_SIZE], "mkfs.log")
        shutil.rmtree(root)

    def _run_logged(self, argv, log_name):
        log_path = os.path.join(self.workdir, log_name)
        with open(log_path, "a") as log:
            status = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT).returncode
        if status != 0:
            with open(log_path, errors="replace") as f:
                tail = "".join(f.readlines()[-20:])
            raise RuntimeError(f"{argv[0]} exited with {status}:\n{tail}")

    def copy(self, name):
        """A fresh copy of the image for one trial; sparse, as the image is."""
        path = os.path.join(self.workdir, name)
        subprocess.run(["cp", "--sparse=always", self.image, path], check=True)
        return path

    @contextmanager
    def mounted(self, disk):
        """Mounts a (powered off) disk read-only below the work folder; yields its root."""
        point = os.path.join(self.workdir, "mnt")
        os.makedirs(point, exist_ok=True)
        subprocess.run(["mount", "-o", "loop,ro", disk, point], check=True)
        try:
            yield point
        finally:
            workdir.unmount_all_below(point)

    def remove(self):
        workdir.kill_recorded_processes(self.workdir)
        workdir.remove_workdir(self.workdir)


class VirtualMachine:
    """One boot of a disk. The serial console's lines are kept with the host's monotonic
    time at which each arrived; cut_power_at() arms a SIGKILL of the emulator."""

    def __init__(self, image, disk, mode):
        self.image, self.disk, self.mode = image, disk, mode
        self.lines = []  # (monotonic time, text)
        self.cut = None  # (pattern, occurrence, delay) while armed
        self.cut_time = None
        self._lock = threading.Lock()
        self.process = None

    def cut_power_at(self, pattern, occurrence=1, delay=0.0, too_late=None):
        """Arms the cut: `delay` seconds after the `occurrence`th line that matches `pattern`,
        or at once at a line that matches `too_late` (the test then sees that line before the
        cut and fails)."""
        self.cut = (pattern, occurrence, delay, too_late)

    def start(self):
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            [EMULATOR, "-accel", "tcg", "-m", str(MEMORY_MIB), "-smp", "1",
             "-nodefaults", "-no-user-config", "-display", "none", "-serial", "stdio",
             "-monitor", "none", "-no-reboot", "-nic", "none",
             "-kernel", self.image.kernel, "-initrd", self.image.initrd,
             "-append", f"console=ttyS0 root=/dev/vda rw quiet kest_e2e={self.mode}",
             "-drive", f"file={self.disk},format=raw,if=virtio,cache=unsafe"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        workdir.record_process(self.image.workdir, self.process.pid, EMULATOR[:15])
        with open(os.path.join(self.image.workdir, f"{os.path.basename(self.disk)}.serial"),
                  "a") as log:
            log.write(f"--- boot kest_e2e={self.mode}\n")
        threading.Thread(target=self._read, daemon=True).start()
        return self

    def _read(self):
        seen = 0
        log_path = os.path.join(self.image.workdir, f"{os.path.basename(self.disk)}.serial")
        with open(log_path, "a") as log:
            for raw in self.process.stdout:
                text = raw.decode(errors="replace").rstrip("\r\n")
                log.write(text + "\n")
                with self._lock:
                    self.lines.append((time.monotonic(), text))
                if self.cut is None:
                    continue
                pattern, occurrence, delay, too_late = self.cut
                if pattern.search(text):
                    seen += 1
                    if seen == occurrence:
                        threading.Timer(delay, self.power_cut).start()
                if too_late is not None and too_late.search(text):
                    self.power_cut()

    def power_cut(self):
        if self.process.poll() is None:
            self.process.kill()
            self.cut_time = time.monotonic()

    def ended(self):
        return self.process.poll() is not None

    def wait_ended(self, timeout, what):
        try:
            wait_for(self.ended, timeout, what)
        except AssertionError as error:
            self.power_cut()
            raise AssertionError(f"{error}; the console's last lines:\n{self.tail()}") from None
        self.process.wait()
        return time.monotonic() - self.started

    def matching(self, pattern):
        """(time, line) of each console line that matches."""
        with self._lock:
            return [(t, text) for t, text in self.lines if pattern.search(text)]

    def trial_lines(self):
        """What the trial's unit said, in order."""
        with self._lock:
            return [m[1] for _, text in self.lines for m in [TRIAL_LINE.search(text)] if m]

    def tail(self, count=25):
        with self._lock:
            return "\n".join(text for _, text in self.lines[-count:])

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
