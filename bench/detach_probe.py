#!/usr/bin/python3
"""Times how long a caller waits for the real kest-update to return (the detachment), or for
`kest-update --check` to answer.

    unshare --mount --propagation private detach_probe.py [--check] KEST_UPDATE SCRATCH RUNS [TREE]

Run by bench.py inside a private mount namespace; refuses to run outside one. There it
- mounts a tmpfs over /var/kest holding a root-owned 0755 update/ directory, empty, so the
  detached run finds nothing to install; or, with TREE, holding a copy of TREE staged as
  update/var/kest/installed, so that the detached run installs it into /var/kest/installed on
  that tmpfs: the caller then waits for the check of that tree, as for an agent's update;
- hides /usr/lib/systemd (and so /lib/systemd, a link to usr/lib on Debian) behind an overlay
  of /usr/lib with a whiteout, so the updater takes the road without systemd and touches no
  unit or service: binding an empty directory there would not do, since the updater only asks
  whether the directory opens;
- hides /run behind an empty tmpfs, so that `service kest start` runs the (missing) init script
  rather than asking a running systemd, and the update lock that each run takes in /run stays
  in the namespace;
then runs `kest-update true 0` RUNS times: pid 0 is refused without any signal ("Invalid
agent process id 0"), `service kest start` fails as there is no kest service, and `true`
"starts" the agent. The probe is a child subreaper, so it also reaps each detached run and
checks that it ended with 0 before the next run starts. When strace is installed, one
traced run first shows which commands the detached run executed.

With --check it times `kest-update --check` RUNS times instead, with TREE staged as above and
/var/kest/installed missing, then again with TREE installed there (each file rewritten), each
run's answer held against TREE (ready; the files, directories and bytes it holds). /var/kest is
then made in an overlay of /var whose upper layer is on SCRATCH, so the host's /var is never
written (bench.py makes no mount point for it).
"""

import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36
LIMIT_MS = 5.0


def fail(message):
    print(f"detach: {message}", file=sys.stderr)
    sys.exit(1)


def run(*argv):
    subprocess.run(argv, check=True)


def in_private_namespace():
    return os.readlink("/proc/self/ns/mnt") != os.readlink(f"/proc/{os.getppid()}/ns/mnt")


def opens_as_directory(path):
    try:
        os.close(os.open(path, os.O_RDONLY | os.O_DIRECTORY))
        return True
    except OSError:
        return False


def prepare(scratch, tree, overlay_var=False):
    run("mount", "-t", "tmpfs", "-o", "mode=0700", "kest-bench", scratch)
    if overlay_var:
        layers = [os.path.join(scratch, name) for name in ("var-upper", "var-work")]
        for layer in layers:
            os.mkdir(layer, 0o755)
        run("mount", "-t", "overlay", "kest-bench-var", "-o",
            f"lowerdir=/var,upperdir={layers[0]},workdir={layers[1]}", "/var")
        os.makedirs("/var/kest", 0o755, exist_ok=True)
    # /var/kest: a tmpfs with an update/ directory (bench.py made the mount point).
    run("mount", "-t", "tmpfs", "-o", "mode=0755", "kest-bench-var-kest", "/var/kest")
    os.mkdir("/var/kest/update", 0o755)
    os.chmod("/var/kest/update", 0o755)
    os.chown("/var/kest/update", 0, 0)
    if tree:
        # Staged as a mirror of /: the detached run installs it on this tmpfs too.
        staged = "/var/kest/update/var/kest/installed"
        os.umask(0o022)
        shutil.copytree(tree, staged)
    # /usr/lib/systemd: a whiteout in an overlay's upper layer hides it.
    upper = os.path.join(scratch, "upper")
    work = os.path.join(scratch, "work")
    os.mkdir(upper)
    os.mkdir(work)
    os.mknod(os.path.join(upper, "systemd"), 0o600 | 0o020000, os.makedev(0, 0))
    run("mount", "-t", "overlay", "kest-bench-usr-lib", "-o",
        f"lowerdir=/usr/lib,upperdir={upper},workdir={work}", "/usr/lib")
    run("mount", "-t", "tmpfs", "-o", "mode=0755", "kest-bench-run", "/run")
    if opens_as_directory("/usr/lib/systemd") or opens_as_directory("/lib/systemd"):
        fail("could not hide /usr/lib/systemd")
    if os.path.exists("/etc/init.d/kest"):
        fail("/etc/init.d/kest exists: `service kest start` would start a real agent")


def tree_size(tree):
    directories = files = 0
    for _, dirnames, filenames in os.walk(tree):
        directories += len(dirnames)
        files += len(filenames)
    return f"{files} files in {directories} directories"


def reap_all():
    """Reaps every remaining descendant; returns the statuses of the direct ones."""
    statuses = []
    while True:
        try:
            _, status = os.wait()
        except ChildProcessError:
            return statuses
        statuses.append(os.waitstatus_to_exitcode(status))


def env():
    return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}


def traced_run(kest_update, scratch):
    """One run under strace -f; prints the commands that the detached run executed."""
    trace = os.path.join(scratch, "trace")
    subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=execve,kill,pidfd_open",
                    kest_update, "true", "0"], env=env(), check=False)
    reap_all()
    commands = []
    signals = []
    with open(trace) as lines:
        for line in lines:
            if "execve(" in line and "= 0" in line:
                commands.append(line.split("[", 1)[1].split("]", 1)[0] if "[" in line else line)
            elif "kill(" in line or "pidfd_open(" in line:
                signals.append(line.strip())
    print("detach: verified with strace; the detached run executed:")
    for command in commands:
        print(f"  {command}")
    if any("systemctl" in command for command in commands):
        fail("the detached run called systemctl")
    if signals:
        fail("the detached run signalled a process: " + "; ".join(signals))


def expected_answer(tree, in_place):
    """What `kest-update --check` must print for TREE staged as var/kest/installed."""
    files = directories = size = 0
    for current, dirnames, filenames in os.walk(tree):
        directories += len(dirnames)
        files += len(filenames)
        size += sum(os.stat(os.path.join(current, name)).st_size for name in filenames)
    rewrite, created, folders = (files, 0, 0) if in_place else (0, files, directories + 1)
    return ('{"outcome":"ready","message":"","rewrite":%d,"create_files":%d,'
            '"create_folders":%d,"bytes":%d}\n' % (rewrite, created, folders, size))


def check_series(kest_update, scratch, runs, tree, in_place):
    """RUNS timed `kest-update --check` runs (after one untimed), interleaved with /bin/true."""
    expected = expected_answer(tree, in_place)
    answer = os.path.join(scratch, "answer")
    waits = {"check": [], "true": []}
    for index in range(runs + 1):
        for name, argv in (("check", [kest_update, "--check"]), ("true", ["/bin/true"])):
            with open(answer, "wb") as out:
                start = time.perf_counter()
                pid = os.posix_spawn(argv[0], argv, env(),
                                     file_actions=[(os.POSIX_SPAWN_DUP2, out.fileno(), 1)])
                _, status = os.waitpid(pid, 0)
                elapsed = time.perf_counter() - start
            code = os.waitstatus_to_exitcode(status)
            if name == "check":
                with open(answer) as printed:
                    text = printed.read()
                if code != 0 or text != expected:
                    fail(f"kest-update --check returned {code}: {text!r}, not {expected!r}")
            if index > 0:
                waits[name].append(elapsed * 1000)
    times = waits["check"]
    print(f"check: kest-update --check, {tree_size(tree)} staged,"
          f" {'in place' if in_place else 'fresh'}, {runs} runs: median"
          f" {statistics.median(times):.2f} ms (spread {min(times):.2f}-{max(times):.2f});"
          f" /bin/true started the same way: median {statistics.median(waits['true']):.2f} ms;"
          f" every answer {expected.strip()}", flush=True)


def main():
    check = sys.argv[1:2] == ["--check"]
    arguments = sys.argv[2:] if check else sys.argv[1:]
    kest_update, scratch, runs = arguments[0], arguments[1], int(arguments[2])
    tree = arguments[3] if len(arguments) > 3 else None
    if os.geteuid() != 0 or not in_private_namespace():
        fail("must run as root inside unshare --mount --propagation private")
    if check:
        if not tree:
            fail("--check needs a TREE")
        prepare(scratch, tree, overlay_var=True)
        for in_place in (False, True):
            if in_place:
                shutil.copytree(tree, "/var/kest/installed")
            check_series(kest_update, scratch, runs, tree, in_place)
        return 0
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        fail("cannot become a child subreaper")
    prepare(scratch, tree)
    if subprocess.run(["sh", "-c", "service kest start"], env=env(),
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
        fail("`service kest start` succeeded here: a kest service exists")
    if os.path.exists("/usr/bin/strace"):
        traced_run(kest_update, scratch)

    # Interleaved with /bin/true, which shows what starting any process costs here.
    waits = {"kest-update": [], "true": []}
    for index in range(runs + 1):
        for name, argv in (("kest-update", [kest_update, "true", "0"]), ("true", ["/bin/true"])):
            start = time.perf_counter()
            pid = os.posix_spawn(argv[0], argv, env())
            _, status = os.waitpid(pid, 0)
            elapsed = time.perf_counter() - start
            code = os.waitstatus_to_exitcode(status)
            if code != 0:
                fail(f"{name} returned {code}")
            detached = reap_all()
            if name == "kest-update" and detached != [0]:
                fail(f"the detached run ended with {detached}, not [0]")
            if index > 0:  # the first round only warms the caches
                waits[name].append(elapsed * 1000)
    median = statistics.median(waits["kest-update"])
    spread = waits["kest-update"]
    staged = f"{tree_size(tree)} staged" if tree else "empty staging root"
    print(f"detach: caller's wait for kest-update, {staged}, {runs} runs: median {median:.2f} ms"
          f" (spread {min(spread):.2f}-{max(spread):.2f}; limit {LIMIT_MS:.0f} ms);"
          f" /bin/true started the same way: median {statistics.median(waits['true']):.2f} ms;"
          " every detached run ended with 0")
    return 0 if median <= LIMIT_MS else 1


if __name__ == "__main__":
    sys.exit(main())
