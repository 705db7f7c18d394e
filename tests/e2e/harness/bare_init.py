"""PID 1 of a host without systemd (run by bare_host.py through unshare).

Usage: bare_init.py WORKDIR [LOWER]

In its fresh mount and pid namespaces it mounts an overlay of / (or of the
folder LOWER) on WORKDIR/root (WORKDIR/upper hides /usr/lib/systemd with a
whiteout), gives it
its own /proc, /dev, /run and /tmp, binds the agent executable from a plain
file (a busy executable must refuse writers, which overlayfs does not do),
listens on /dev/log, enters the root and then does what an init must: reap
every child. It records, as JSON lines in WORKDIR:
  syslog.jsonl  every datagram received on /dev/log
  reaped.jsonl  every process reaped: pid, command name, exit or signal
and creates WORKDIR/ready once everything is in place.
"""

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

DEVICES = {"null": (1, 3), "zero": (1, 5), "full": (1, 7), "random": (1, 8), "urandom": (1, 9)}


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def prepare_root(work, lower):
    root = os.path.join(work, "root")
    mount("-t", "overlay", "overlay", "-o",
          f"lowerdir={lower},upperdir={work}/upper,workdir={work}/work", root)
    mount("-t", "proc", "proc", f"{root}/proc")
    mount("-t", "tmpfs", "-o", "mode=0755", "none", f"{root}/dev")
    for name, (major, minor) in DEVICES.items():
        os.mknod(f"{root}/dev/{name}", 0o666 | 0o020000, os.makedev(major, minor))
        os.chmod(f"{root}/dev/{name}", 0o666)
    # A fresh /run has no /run/systemd/system, so `service` uses init scripts.
    mount("-t", "tmpfs", "-o", "mode=0755", "none", f"{root}/run")
    mount("-t", "tmpfs", "-o", "mode=1777", "none", f"{root}/tmp")
    mount("--bind", f"{work}/exe/kestd", f"{root}/usr/sbin/kestd")
    return root


def open_record(work, name):
    return open(os.path.join(work, name), "a", buffering=1)


def listen_syslog(sock, record):
    while True:
        data = sock.recv(65536)
        record.write(json.dumps({"usec": time.time_ns() // 1000,
                                 "datagram": data.decode("utf-8", "replace")}) + "\n")


def describe(status):
    if os.WIFEXITED(status):
        return {"exit": os.WEXITSTATUS(status)}
    if os.WIFSIGNALED(status):
        return {"signal": os.WTERMSIG(status)}
    return {"status": status}


def reap_forever(record):
    while True:
        signal.sigtimedwait([signal.SIGCHLD], 1.0)
        while True:
            try:
                # Look before reaping: a zombie still shows its name.
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                break
            if info is None:
                break
            try:
                with open(f"/proc/{info.si_pid}/comm") as f:
                    name = f.read().strip()
            except OSError:
                name = ""
            pid, status = os.waitpid(info.si_pid, 0)
            record.write(json.dumps({"usec": time.time_ns() // 1000, "pid": pid,
                                     "name": name, **describe(status)}) + "\n")


def main():
    work = sys.argv[1]
    root = prepare_root(work, sys.argv[2] if len(sys.argv) > 2 else "/")
    syslog_record = open_record(work, "syslog.jsonl")
    reaped_record = open_record(work, "reaped.jsonl")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(f"{root}/dev/log")
    os.chmod(f"{root}/dev/log", 0o666)
    open(os.path.join(work, "ready"), "w").close()
    os.chroot(root)
    os.chdir("/")
    # Blocked in every thread, so that only sigtimedwait takes it.
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGCHLD])
    threading.Thread(target=listen_syslog, args=(sock, syslog_record), daemon=True).start()
    reap_forever(reaped_record)


if __name__ == "__main__":
    main()
