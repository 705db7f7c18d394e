"""Holds the updater at chosen opens, through fanotify permission events: `Holds` runs this
file inside a host, where it works as follows.

Usage: hold_opens.py TREE EXECUTABLE PLAN...

TREE is a folder on the file system to watch (every open on that file system is seen),
EXECUTABLE a file whose executions are watched too. Each PLAN item, `read:N`, `write:N` or
`exec:N`, holds the N-th open by kest-update of a regular file below TREE for reading (or for
writing), or the N-th execution of EXECUTABLE. The opener waits inside its open until this
program lets it go: it prints `ready` once watching, `held ITEM PATH` when it holds an open, and
lets that open go on when it reads `go`. Every other open goes on at once. When its input
closes it lets everything go and ends.
"""

import ctypes
import os
import queue
import select
import stat
import struct
import subprocess
import sys
import threading

FAN_CLOEXEC, FAN_CLASS_CONTENT = 0x1, 0x4
FAN_MARK_ADD, FAN_MARK_FILESYSTEM = 0x1, 0x100
FAN_OPEN_PERM, FAN_OPEN_EXEC_PERM = 0x10000, 0x40000
FAN_ALLOW = 1
AT_FDCWD = -100
EVENT = struct.Struct("IBBHQii")  # struct fanotify_event_metadata
OPEN, OPENAT, OPENAT2 = 2, 257, 437  # x86-64 system call numbers


def check(result, what):
    if result < 0:
        raise OSError(ctypes.get_errno(), f"{what}: {os.strerror(ctypes.get_errno())}")
    return result


def open_flags(pid):
    """The flags of the open that process pid is blocked in, from its /proc/PID/syscall."""
    fields = open(f"/proc/{pid}/syscall").read().split()
    number, args = int(fields[0]), [int(a, 16) for a in fields[1:7]]
    if number == OPEN:
        return args[1]
    if number == OPENAT:
        return args[2]
    if number == OPENAT2:  # struct open_how starts with the flags
        with open(f"/proc/{pid}/mem", "rb", buffering=0) as memory:
            memory.seek(args[2])
            return struct.unpack("Q", memory.read(8))[0]
    return os.O_RDONLY


def item_of(mask, fd, pid, tree):
    """("exec" | "read" | "write", path) of an event, or None when the plan does not count it."""
    path = os.readlink(f"/proc/self/fd/{fd}")
    if mask & FAN_OPEN_EXEC_PERM:
        return "exec", path
    try:
        with open(f"/proc/{pid}/comm") as f:
            updater = f.read().strip() == "kest-update"
        if not (updater and path.startswith(tree + "/") and stat.S_ISREG(os.fstat(fd).st_mode)):
            return None
        return ("read" if open_flags(pid) & os.O_ACCMODE == os.O_RDONLY else "write"), path
    except OSError:  # the opener is gone
        return None


class Holds:
    """This program, running inside a host with the given tree, executable and plan."""

    def __init__(self, host, tree, executable, plan):
        with open(os.path.abspath(__file__)) as f:
            source = f.read()
        self.process = subprocess.Popen(
            ["nsenter", "-t", str(host.leader), "-m", "-p", "-r", "-w", sys.executable, "-c",
             source, tree, executable, *plan],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._next("ready")

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put("(ended)")

    def _next(self, expected, timeout=60):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"gave up after {timeout} s waiting for: {expected}") from None
        if not line.startswith(expected):
            raise AssertionError(f"waiting for {expected!r}, the listener said {line!r}")

    def wait(self, item):
        """Waits until the open `item` of the plan is held."""
        self._next(f"held {item} ")

    def go(self):
        """Lets the held open go on."""
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def main():
    tree, executable, plan = sys.argv[1], sys.argv[2], set(sys.argv[3:])
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                   ctypes.c_char_p]
    group = check(libc.fanotify_init(FAN_CLOEXEC | FAN_CLASS_CONTENT, os.O_RDONLY | os.O_CLOEXEC),
                  "fanotify_init")
    check(libc.fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_PERM, AT_FDCWD,
                             tree.encode()), "fanotify_mark " + tree)
    check(libc.fanotify_mark(group, FAN_MARK_ADD, FAN_OPEN_EXEC_PERM, AT_FDCWD,
                             executable.encode()), "fanotify_mark " + executable)
    counts = {"exec": 0, "read": 0, "write": 0}
    held = None

    def allow(fd):
        os.write(group, struct.pack("iI", fd, FAN_ALLOW))
        os.close(fd)

    print("ready", flush=True)
    pending = b""
    while True:
        readable, _, _ = select.select([group, 0], [], [])
        if 0 in readable:
            data = os.read(0, 4096)
            if not data:
                break
            pending += data
            while b"\n" in pending:
                _line, pending = pending.split(b"\n", 1)
                if held is not None:
                    allow(held)
                    held = None
        if group in readable:
            buffer = os.read(group, 4096)
            at = 0
            while at < len(buffer):
                length, _vers, _reserved, _meta, mask, fd, pid = EVENT.unpack_from(buffer, at)
                at += length
                found = item_of(mask, fd, pid, tree)
                if found is not None:
                    counts[found[0]] += 1
                    label = f"{found[0]}:{counts[found[0]]}"
                    if held is None and label in plan:
                        held = fd
                        print(f"held {label} {found[1]}", flush=True)
                        continue
                allow(fd)
    if held is not None:
        allow(held)


if __name__ == "__main__":
    main()
