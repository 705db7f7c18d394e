"""Work folders of the suite's environments, and the cleanup of those that a
killed run left behind.

Each environment gets a folder below BASE holding an `owner` file (the pid of
the Python process that made it) and a `processes` file (pid and command name
of every long-lived process it started: systemd-nspawn, the container's
systemd, unshare). A later run removes folders whose owner is gone: it kills
the recorded processes (only when the pid still carries the recorded name),
unmounts what is mounted below the folder, detaches the loop devices on files in it and then
deletes it.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

BASE = "/tmp/kest-e2e"


def new_workdir(kind):
    for _ in range(3):  # another run may remove BASE in between (remove_workdir)
        os.makedirs(BASE, mode=0o700, exist_ok=True)
        try:
            path = tempfile.mkdtemp(prefix=f"{kind}-", dir=BASE)
            break
        except FileNotFoundError:
            continue
    with open(os.path.join(path, "owner"), "w") as out:
        out.write(f"{os.getpid()}\n")
    return path


def record_process(workdir, pid, name=None):
    """Remembers a process started for this work folder, for a later cleanup. Name the
    command of one that may not have reached its exec yet."""
    with open(os.path.join(workdir, "processes"), "a") as out:
        out.write(f"{pid} {name or command_name(pid)}\n")


def command_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return None


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def mounts_below(path):
    """Mount points at or below path, deepest first."""
    path = os.path.realpath(path)
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].replace("\\040", " ")
            if point == path or point.startswith(path + "/"):
                points.append(point)
    return sorted(points, key=len, reverse=True)


def unmount_all_below(path, timeout=10):
    """Unmounts everything at or below path; lazily as a last resort."""
    deadline = time.monotonic() + timeout
    while True:
        points = mounts_below(path)
        if not points:
            return
        for point in points:
            subprocess.run(["umount", point], stderr=subprocess.DEVNULL)
        if time.monotonic() >= deadline:
            for point in mounts_below(path):
                subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
            return
        time.sleep(0.1)


def remove_workdir(path):
    """Deletes a work folder, never while anything is still mounted below it
    (a mounted overlay of / would be walked and emptied through)."""
    unmount_all_below(path)
    if mounts_below(path):
        raise RuntimeError(f"still mounted below {path}; left in place")
    shutil.rmtree(path, ignore_errors=True)
    try:
        os.rmdir(BASE)  # only when no other run uses it
    except OSError:
        pass


def kill_recorded_processes(workdir):
    try:
        with open(os.path.join(workdir, "processes")) as f:
            records = [line.split(maxsplit=1) for line in f if line.strip()]
    except OSError:
        return
    for pid_text, name in records:
        pid = int(pid_text)
        if command_name(pid) == name.strip():
            os.kill(pid, signal.SIGKILL)
    for pid_text, name in records:
        pid = int(pid_text)
        deadline = time.monotonic() + 5
        while command_name(pid) == name.strip() and _alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)


def detach_loops_below(path):
    """Detaches the loop devices whose backing file lies below path, and those whose backing
    file is on one of them (a mounted one detaches once its file system is unmounted)."""
    listing = subprocess.run(["losetup", "--list", "--json", "--output",
                              "NAME,MAJ:MIN,BACK-MAJ:MIN,BACK-FILE"],
                             capture_output=True, text=True).stdout
    loops = json.loads(listing)["loopdevices"] if listing.strip() else []
    below = [loop for loop in loops if (loop["back-file"] or "").startswith(path + "/")]
    devices = {loop["maj:min"].strip() for loop in below}  # padded with blanks
    for loop in below + [loop for loop in loops if loop["back-maj:min"].strip() in devices]:
        subprocess.run(["losetup", "--detach", loop["name"]], stderr=subprocess.DEVNULL)


def clean_leftovers():
    """Removes the work folders of earlier runs whose owner process is gone."""
    if not os.path.isdir(BASE):
        return
    for name in os.listdir(BASE):
        path = os.path.join(BASE, name)
        try:
            with open(os.path.join(path, "owner")) as f:
                owner = int(f.read().strip())
        except (OSError, ValueError):
            owner = None
        if owner is not None and owner != os.getpid() and _alive(owner):
            continue
        kill_recorded_processes(path)
        detach_loops_below(path)
        remove_workdir(path)
