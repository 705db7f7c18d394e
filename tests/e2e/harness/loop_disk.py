"""A disk that can lose power: an ext4 image on a loop device, whose snapshots are the disk as
it is at an instant.

The ext4 image lies on an XFS image (which shares extents between files: reflinks) on a loop
device, mounted in a mount namespace of the disk's own, kept by a holder process. Hosts started
from that namespace (`BareHost(namespace_of=disk.holder.pid)`) see the XFS and mount the ext4
image, or a snapshot of it, with `mount_disk`. A snapshot is `cp --reflink=always` of the ext4
image: what ext4 had written to its disk by then and nothing of what it still held in memory, as
after a power cut. Mounting it replays its journal, as a boot does.

Every loop device comes from `mount -o loop`, which detaches it when its file system goes, and
every mount lives in a namespace that ends with the suite's process: a killed run leaves at most
its work folder, which workdir.clean_leftovers removes with any loop device still on a file in it.
"""

import ctypes
import os
import shlex
import shutil
import signal
import subprocess
import unittest

from . import workdir
from .bare_host import die_with_parent
from .wait import wait_for

XFS_SIZE = "1G"
DISK_SIZE = "256M"


class LoopDisk:
    def __init__(self):
        if shutil.which("mkfs.xfs") is None:
            raise unittest.SkipTest("needs mkfs.xfs: apt-get install xfsprogs")
        self.workdir = workdir.new_workdir("loop")
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private",
                                        "sleep", "infinity"],
                                       stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        own = os.readlink("/proc/self/ns/mnt")
        wait_for(lambda: workdir.command_name(self.holder.pid) == "sleep" and
                 os.readlink(f"/proc/{self.holder.pid}/ns/mnt") != own, 10,
                 "the disk's mount namespace")
        workdir.record_process(self.workdir, self.holder.pid)
        xfs_image = os.path.join(self.workdir, "xfs.img")
        self.xfs = os.path.join(self.workdir, "xfs")
        self.image = os.path.join(self.xfs, "disk.img")
        os.mkdir(self.xfs)
        self.run("truncate", "-s", XFS_SIZE, xfs_image)
        self.run("mkfs.xfs", "-q", "-m", "reflink=1", xfs_image)
        self.run("mount", "-o", "loop", xfs_image, self.xfs)
        self.run("truncate", "-s", DISK_SIZE, self.image)
        self.run("mkfs.ext4", "-q", "-b", "4096", "-I", "256", self.image)

    def run(self, *argv):
        """Runs a command in the disk's mount namespace."""
        subprocess.run(["nsenter", "-t", str(self.holder.pid), "-m", "--", *argv], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def snapshot(self, name):
        """The ext4 image as it is now, in a file of its own; returns its path."""
        path = os.path.join(self.xfs, f"{name}.img")
        self.run("cp", "--reflink=always", self.image, path)
        return path

    def close(self):
        """Ends the disk's namespace, and with it the XFS once no host uses it any more."""
        if self.holder.poll() is None:
            self.holder.send_signal(signal.SIGKILL)
            self.holder.wait(timeout=10)
        workdir.remove_workdir(self.workdir)


class MountedDisk:
    """An ext4 image mounted in a host: `root` is the host path of its top folder."""

    def __init__(self, root):
        self.root = root
        self.marker = os.open(os.path.join(root, ".commit"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC,
                              0o600)

    def commit(self):
        """Makes ext4 commit its journal now, as its timer does every 5 s: a change of the
        marker's size, flushed. What is in the journal reaches the disk, with the data it
        orders; data that ext4 has not placed yet stays in memory."""
        os.ftruncate(self.marker, os.fstat(self.marker).st_size + 1)
        os.fsync(self.marker)

    def flush(self):
        """Writes everything out, as a host that has run a while has."""
        if ctypes.CDLL(None, use_errno=True).syncfs(self.marker) != 0:
            raise OSError(ctypes.get_errno(), "syncfs")

    def close(self):
        if self.marker is not None:
            os.close(self.marker)
            self.marker = None


def mount_disk(host, image, binds):
    """Mounts the ext4 image on a loop device in the host's namespace, outside its root, and
    binds its folders there (disk folder -> path inside the host), making them where missing."""
    disk = os.path.join(host.workdir, "disk")
    lines = ["set -e", f"mkdir -p {disk}", f"mount -o loop {shlex.quote(image)} {disk}"]
    for folder, inside in binds.items():
        source, target = f"{disk}/{folder}", f"{host.workdir}/root{inside}"
        lines += [f"mkdir -p {source} {target}", f"mount --bind {source} {target}"]
    subprocess.run(["nsenter", "-t", str(host.leader), "-m", "--", "sh", "-c", "\n".join(lines)],
                   check=True, capture_output=True)
    return MountedDisk(f"/proc/{host.unshare.pid}/root{disk}")

