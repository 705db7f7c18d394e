#!/usr/bin/python3
"""Benchmarks the installer's copy against `cp -r`, its memory, and the caller's wait.

    bench.py --build BUILD_DIR [--work DIR] [--rounds N] [--workload big|small|agent]
             [--file-system work|tmpfs|overlay] [--baseline KEST_COPY_TREE]
             [--no-realtime] [copy|check|flush|record|memory|detach|dry-run|watch|downtime|all ...]

copy      the three workloads, fresh and in place, kest-copy-tree and `cp -r` interleaved, on
          the file system of --work, on a tmpfs and on an overlay
check     the checks before detaching (trust and pre-flight) against the copy on the
          20,000-file workload
flush     the flush of what a copy wrote, which the updater does after the restart
record    the undo record: what keeping it costs before the stop, what its notes add to the
          copy (and so to the agent's downtime), the undo's time, and peak memory with it
memory    peak resident memory of kest-copy-tree on a 1 GiB file and on a 4 KiB file
detach    how long a caller waits for the real kest-update to return, with an empty staging
          root and with the agent tree staged
dry-run   how long `kest-update --check` takes with the agent tree and with the 20,000 files
          staged, fresh and in place
watch     the processor time of the watch of the agent after its restart (10 s each run), without
          systemd and with a control group's process list
downtime  agent downtime in the end-to-end suite's systemd container (see bench/README.md)
all       copy, check, flush, record, memory, detach, dry-run and watch (the default)

Needs root (mount namespaces). Standard library only. Everything it generates lives below
--work (default /var/tmp/kest-bench), which is removed at the end.
"""

import argparse
import contextlib
import ctypes
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

MEMORY_LIMIT_KIB = 8 * 1024
CHECK_LIMIT = 0.10
RECORD_LIMIT = 0.10  # what the notes may add to the copy of the agent tree
DETACH_LIMIT_MS = 5.0
WATCH_CPU_LIMIT_MS = 5.0  # processor time of one whole watch (10 s)
FRESH_LIMIT = 1.00
IN_PLACE_LIMIT = 1.00


# ---------------------------------------------------------------- workloads

def _pattern(seed, size=MIB):
    """A deterministic block of pseudo-random bytes."""
    return random.Random(seed).randbytes(size)


def _write(path, size, block, offset):
    """Writes `size` bytes to `path`: `block` read cyclically from `offset` on."""
    with open(path, "wb") as out:
        position = offset % len(block)
        left = size
        while left > 0:
            chunk = block[position:position + left]
            out.write(chunk)
            left -= len(chunk)
            position = 0


def make_big(root):
    """One file of 1 GiB."""
    os.makedirs(root)
    block = _pattern(1)
    with open(os.path.join(root, "big.bin"), "wb") as out:
        for index in range(GIB // MIB):
            # A counter at the start of every MiB keeps the blocks distinct.
            out.write(index.to_bytes(8, "little") + block[8:])


def make_small(root):
    """20,000 files of 4 KiB in 200 directories."""
    block = _pattern(2)
    for directory in range(200):
        path = os.path.join(root, f"d{directory:03d}")
        os.makedirs(path)
        for index in range(100):
            number = directory * 100 + index
            _write(os.path.join(path, f"f{index:03d}"), 4 * KIB, block, number * 4099)


def agent_sizes(seed=3, count=300, total=150 * MIB, low=KIB, high=30 * MIB):
    """About `count` log-normal sizes between `low` and `high` adding up to about `total`."""
    rng = random.Random(seed)
    raw = [rng.lognormvariate(11.0, 2.5) for _ in range(count)]
    scale = 1.0
    for _ in range(50):
        sizes = [min(high, max(low, int(value * scale))) for value in raw]
        current = sum(sizes)
        if abs(current - total) < MIB:
            break
        scale *= total / current
    return sizes


def make_agent(root):
    """An agent-like tree: about 300 files, 1 KiB to 30 MiB, about 150 MiB, in 40 directories."""
    rng = random.Random(4)
    directories = [root]
    os.makedirs(root)
    for index in range(39):
        parent = directories[rng.randrange(len(directories))] if index > 3 else root
        path = os.path.join(parent, f"dir{index:02d}")
        os.makedirs(path)
        directories.append(path)
    block = _pattern(5)
    for index, size in enumerate(agent_sizes()):
        directory = directories[rng.randrange(len(directories))]
        _write(os.path.join(directory, f"file{index:03d}"), size, block, index * 7919)


FILE_SYSTEMS = ("work", "tmpfs", "overlay")

# (label, name, generator, rounds as a multiple of --rounds): the agent tree copies in a tenth
# of a second and varies most, so it gets more rounds.
WORKLOADS = [
    ("1 GiB file", "big", make_big, 1),
    ("20,000 x 4 KiB", "small", make_small, 1),
    ("agent tree", "agent", make_agent, 3),
]


def tree_summary(root):
    files = size = 0
    directories = 0
    for _, dirnames, filenames in os.walk(root):
        directories += len(dirnames)
        for name in filenames:
            files += 1
    for current, _, filenames in os.walk(root):
        for name in filenames:
            size += os.stat(os.path.join(current, name)).st_size
    return files, directories, size


# ---------------------------------------------------------------- running and timing

REALTIME = ["/usr/bin/chrt", "--fifo", "10"]
realtime = True


def run_timed(argv):
    """Runs argv with its output discarded; returns (seconds, exit status, rusage).
    With `realtime`, the command runs under the FIFO scheduling class, so that other users'
    builds on the machine do not preempt it (the same for both tools)."""
    if realtime:
        argv = REALTIME + argv
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    return elapsed, os.waitstatus_to_exitcode(status), usage


def sync():
    os.sync()


def remove(path):
    if os.path.lexists(path):
        shutil.rmtree(path)


def warm(root):
    """Reads every file once, so that the page cache holds the source."""
    for current, _, filenames in os.walk(root):
        for name in filenames:
            with open(os.path.join(current, name), "rb") as handle:
                while handle.read(MIB):
                    pass


def copy_commands(args, source, destination, fresh):
    """The tools to time, by name: kest, cp and, when given, the baseline build's copy."""
    commands = {"kest": [args.kest_copy_tree, source, destination]}
    # `cp -r SRC DST` onto an existing DST would copy into DST/SRC; SRC/. copies the contents.
    commands["cp"] = ["/bin/cp", "-r", source, destination] if fresh else \
        ["/bin/cp", "-r", source + "/.", destination]
    if args.baseline:
        commands["base"] = [args.baseline, source, destination]
    return commands


def time_tools(args, source, destination, fresh, rounds):
    """Interleaved rounds (kest, cp[, base], kest, cp[, base], ...); returns the lists of
    seconds by tool."""
    commands = copy_commands(args, source, destination, fresh)
    times = {name: [] for name in commands}

    def one(name, argv, record):
        if fresh:
            remove(destination)
        sync()
        elapsed, code, _ = run_timed(argv)
        if code != 0:
            raise SystemExit(f"{' '.join(argv)} failed with {code}")
        if record:
            times[name].append(elapsed)

    # One untimed run of each first: the source is in the cache and, in place, the
    # destination exists.
    for name, argv in commands.items():
        one(name, argv, False)
    for _ in range(rounds):
        for name, argv in commands.items():
            one(name, argv, True)
    return times


def spread(values):
    return f"{min(values):.3f}-{max(values):.3f}"


CLONE_NEWNS = 0x00020000


def enter_private_mount_namespace():
    """Mounts made from here on stay in this process and its children, and go when they end."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS)")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


@contextlib.contextmanager
def copy_folder(kind, work):
    """A folder to copy in: on the file system of --work, on a tmpfs, or on an overlay whose
    empty lower layer and upper layer are on the file system of --work."""
    folder = os.path.join(work, kind)
    os.makedirs(folder)
    mounted = None
    if kind == "tmpfs":
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "kest-bench", folder],
                       check=True)
        mounted = folder
    elif kind == "overlay":
        layers = {name: os.path.join(folder, name) for name in ("lower", "upper", "work")}
        for layer in layers.values():
            os.mkdir(layer)
        mounted = os.path.join(folder, "merged")
        os.mkdir(mounted)
        options = "lowerdir={lower},upperdir={upper},workdir={work}".format(**layers)
        subprocess.run(["mount", "-t", "overlay", "-o", options, "kest-bench", mounted],
                       check=True)
    try:
        yield mounted or folder
    finally:
        if mounted:
            subprocess.run(["umount", mounted], check=True)
        shutil.rmtree(folder)


def file_system_type(path):
    return subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], capture_output=True,
                          text=True, check=True).stdout.strip()


def bench_copy_in(args, work):
    """The copy table for one folder; returns (label, mode, ratio, limit) for each row."""
    results = []
    base = args.baseline is not None
    print(f"{'workload':<18} {'mode':<9} {'kest s':>8} {'(spread)':>13} {'cp s':>8}"
          f" {'(spread)':>13} {'ratio':>6} {'limit':>6}"
          + (f" {'base s':>8} {'(spread)':>13} {'/base':>6}" if base else ""))
    for label, name, make, multiple in WORKLOADS:
        if args.workload and name not in args.workload:
            continue
        source = os.path.join(work, name)
        destination = os.path.join(work, name + ".copy")
        make(source)
        files, directories, size = tree_summary(source)
        print(f"# {label}: {files} files, {directories} directories, {size / MIB:.1f} MiB",
              flush=True)
        warm(source)
        for mode, fresh, limit in (("fresh", True, FRESH_LIMIT),
                                   ("in place", False, IN_PLACE_LIMIT)):
            times = time_tools(args, source, destination, fresh, args.rounds * multiple)
            kest, cp = statistics.median(times["kest"]), statistics.median(times["cp"])
            ratio = kest / cp
            results.append((label, mode, ratio, limit))
            line = (f"{label:<18} {mode:<9} {kest:8.3f} {spread(times['kest']):>13}"
                    f" {cp:8.3f} {spread(times['cp']):>13} {ratio:6.2f} {limit:6.2f}")
            if base:
                baseline = statistics.median(times["base"])
                line += (f" {baseline:8.3f} {spread(times['base']):>13}"
                         f" {kest / baseline:6.2f}")
            print(line + ("" if ratio <= limit else "  OVER"), flush=True)
        remove(destination)
        remove(source)
        sync()
    return results


def bench_copy(args, work):
    results = []
    print("copy: kest-copy-tree vs cp -r, warm cache (source read before the rounds, stays in the"
          " page cache), sync before every timed run, medians of "
          f"{args.rounds} interleaved rounds ({3 * args.rounds} for the agent tree),"
          f" {'chrt --fifo 10' if realtime else 'normal priority'}"
          + (f"; base: {args.baseline}" if args.baseline else ""))
    for kind in args.file_system:
        with copy_folder(kind, work) as folder:
            print(f"## {kind}: {file_system_type(folder)}", flush=True)
            results += [(f"{label}, {kind}", mode, ratio, limit)
                        for label, mode, ratio, limit in bench_copy_in(args, folder)]
    worst = max(results, key=lambda entry: entry[2] / entry[3])
    print(f"worst ratio: {worst[2]:.2f} ({worst[0]}, {worst[1]}; limit {worst[3]:.2f})")
    return all(ratio <= limit for _, _, ratio, limit in results)


# ---------------------------------------------------------------- check

def bench_check(args, work):
    """The trust check (`kest-copy-tree --check SRC DST`) against the copy of the same tree, fresh
    and in place, interleaved; the check runs before the caller is released, the copy after."""
    source = os.path.join(work, "small")
    destination = source + ".copy"
    make_small(source)
    warm(source)
    check = [args.kest_copy_tree, "--check", source, destination]
    # The check takes the destination's top as there (the updater's is /); the copy makes it.
    os.makedirs(destination)
    copy = [args.kest_copy_tree, source, destination]
    times = {"check": [], "fresh": [], "in place": []}
    for round_index in range(args.rounds + 1):
        for name, argv in (("check", check), ("fresh", copy), ("check", check),
                           ("in place", copy)):
            if name == "fresh":
                remove(destination)
            sync()
            elapsed, code, _ = run_timed(argv)
            if code != 0:
                raise SystemExit(f"{' '.join(argv)} failed with {code}")
            if round_index > 0:  # the first round only warms the caches
                times[name].append(elapsed)
    check_median = statistics.median(times["check"])
    print(f"check: trust check vs copy of 20,000 x 4 KiB, medians of {args.rounds} interleaved"
          f" rounds, {'chrt --fifo 10' if realtime else 'normal priority'}")
    ok = True
    for mode in ("fresh", "in place"):
        copy_median = statistics.median(times[mode])
        ratio = check_median / copy_median
        ok = ok and ratio <= CHECK_LIMIT
        print(f"  check {check_median:.3f} s ({spread(times['check'])}) vs copy {mode}"
              f" {copy_median:.3f} s ({spread(times[mode])}): ratio {ratio:.3f}"
              f" (limit {CHECK_LIMIT:.2f}){'' if ratio <= CHECK_LIMIT else '  OVER'}",
              flush=True)
    remove(destination)
    remove(source)
    return ok


# ---------------------------------------------------------------- flush

def bench_flush(args, work):
    """How long the flush after the restart (`kest-copy-tree --flush`) takes once a copy has
    written the agent tree or the 20,000 files, fresh and in place; the copy's own time beside
    it. The agent is running again by then: this is time the run takes, not downtime."""
    ok = True
    for label, make in (("agent tree", make_agent), ("20,000 x 4 KiB", make_small)):
        source = os.path.join(work, "flush-source")
        destination = source + ".copy"
        make(source)
        warm(source)
        for mode in ("fresh", "in place"):
            copies, flushes = [], []
            for _ in range(args.rounds):
                if mode == "fresh":
                    remove(destination)
                sync()
                start = time.perf_counter()
                completed = subprocess.run([args.kest_copy_tree, "--flush", source, destination],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                           text=True)
                elapsed = time.perf_counter() - start
                ok = ok and completed.returncode == 0
                flush_ms = float(completed.stderr.rsplit("flush-ms:", 1)[1])
                flushes.append(flush_ms)
                copies.append(elapsed * 1000 - flush_ms)
            print(f"flush: {label}, {mode}, medians of {args.rounds}: flush"
                  f" {statistics.median(flushes):.1f} ms (spread {min(flushes):.1f}-"
                  f"{max(flushes):.1f}) after a copy of {statistics.median(copies):.1f} ms",
                  flush=True)
        remove(destination)
        remove(source)
    return ok


# ---------------------------------------------------------------- undo record

def stderr_figure(text, name):
    return float(text.rsplit(f"{name}:", 1)[1].split()[0])


def bench_record(args, work):
    """The undo record on the agent tree and the 20,000 files, in place as an update writes: the
    copy alone against the copy with each change noted (the agent's downtime grows by the
    difference), the plan before the stop (the agent still runs then), and the undo of a whole
    copy, in the boot that made it and as after a reboot. Then peak memory of a copy of the 20,000 files with its record."""
    ok = True
    record = os.path.join(work, "record")
    for label, make in (("agent tree", make_agent), ("20,000 x 4 KiB", make_small)):
        source = os.path.join(work, "record-source")
        destination = source + ".copy"
        make(source)
        warm(source)
        subprocess.run([args.kest_copy_tree, source, destination], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        plain, noted, plan, undo, recover = [], [], [], [], []
        for _ in range(args.rounds):
            for extra, figures in ((None, (("copy-ms", plain),)),
                                   ([], (("plan-ms", plan), ("copy-ms", noted))),
                                   (["--undo"], (("undo-ms", undo),)),
                                   (["--undo-after-reboot"], (("undo-ms", recover),))):
                sync()
                recorded = [] if extra is None else ["--record", record, *extra]
                completed = subprocess.run(
                    [args.kest_copy_tree, *recorded, source, destination],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                ok = ok and completed.returncode == 0
                for name, values in figures:
                    values.append(stderr_figure(completed.stderr, name))
        ratio = statistics.median(noted) / statistics.median(plain)
        within = label != "agent tree" or ratio <= 1 + RECORD_LIMIT
        ok = ok and within
        print(f"record: {label}, in place, medians of {args.rounds}: copy"
              f" {statistics.median(plain):.1f} ms, with notes {statistics.median(noted):.1f} ms"
              f" (ratio {ratio:.2f}{'' if label != 'agent tree' else f', limit {1 + RECORD_LIMIT:.2f}'});"
              f" planned before the stop in {statistics.median(plan):.1f} ms;"
              f" undone in {statistics.median(undo):.1f} ms,"
              f" after a reboot in {statistics.median(recover):.1f} ms", flush=True)
        if label != "agent tree":
            completed = subprocess.run(
                [args.kest_copy_tree, "--peak-memory", "--record", record, source, destination],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            rss = int(stderr_figure(completed.stderr, "peak-memory-kib"))
            ok = ok and completed.returncode == 0 and rss <= MEMORY_LIMIT_KIB
            print(f"record: peak RSS of a copy of {label} with its record: {rss} KiB"
                  f" (limit {MEMORY_LIMIT_KIB} KiB)", flush=True)
        remove(destination)
        remove(source)
    return ok


# ---------------------------------------------------------------- memory

def bench_memory(args, work):
    big = os.path.join(work, "mem-big")
    small = os.path.join(work, "mem-small")
    make_big(big)
    os.makedirs(small)
    _write(os.path.join(small, "small.bin"), 4 * KIB, _pattern(6, 4 * KIB), 0)
    ok = True
    for label, source in (("1 GiB file", big), ("4 KiB file", small)):
        destination = source + ".copy"
        remove(destination)
        completed = subprocess.run([args.kest_copy_tree, "--peak-memory", source, destination],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        rss = int(completed.stderr.rsplit("peak-memory-kib:", 1)[1])
        ok = ok and completed.returncode == 0 and rss <= MEMORY_LIMIT_KIB
        print(f"memory: peak RSS of kest-copy-tree (VmHWM), {label}: {rss} KiB"
              f" (limit {MEMORY_LIMIT_KIB} KiB)"
              f"{'' if completed.returncode == 0 else f', exit {completed.returncode}'}")
        remove(destination)
    remove(big)
    remove(small)
    return ok


# ---------------------------------------------------------------- detachment

def bench_detach(args, work):
    """Runs the detach probe in a private mount namespace (see detach_probe.py), with an empty
    staging root and with the agent tree staged."""
    os.makedirs(work)
    tree = os.path.join(work, "agent")
    make_agent(tree)
    scratch = os.path.join(work, "scratch")
    os.mkdir(scratch)
    # The probe mounts a tmpfs over /var/kest; a mount point made here is removed again.
    made_mount_point = not os.path.lexists("/var/kest")
    if made_mount_point:
        os.mkdir("/var/kest", 0o755)
    ok = True
    try:
        for staged in ([], [tree]):
            command = ["unshare", "--mount", "--propagation", "private", "/usr/bin/python3",
                       os.path.join(HERE, "detach_probe.py"), args.kest_update, scratch,
                       str(args.detach_runs), *staged]
            ok = subprocess.run(command).returncode == 0 and ok
    finally:
        if made_mount_point:
            os.rmdir("/var/kest")
    remove(tree)
    return ok


# ---------------------------------------------------------------- dry run

def bench_dry_run(args, work):
    """Runs the detach probe's --check series (see detach_probe.py) in a private mount namespace,
    with the agent tree and with the 20,000 files staged."""
    os.makedirs(work)
    ok = True
    for name, make in (("agent", make_agent), ("small", make_small)):
        tree = os.path.join(work, name)
        make(tree)
        scratch = os.path.join(work, "scratch")
        os.mkdir(scratch)
        command = ["unshare", "--mount", "--propagation", "private", "/usr/bin/python3",
                   os.path.join(HERE, "detach_probe.py"), "--check", args.kest_update, scratch,
                   str(args.detach_runs), tree]
        ok = subprocess.run(command).returncode == 0 and ok
        os.rmdir(scratch)
        remove(tree)
    return ok


# ---------------------------------------------------------------- watch

def bench_watch(args, work):
    """Runs kest-watch-cpu without and with --systemd, interleaved, --watch-rounds times each."""
    os.makedirs(work)
    figures = {"without systemd": [], "under systemd": []}
    ok = True
    for _ in range(args.watch_rounds):
        for label, extra in (("without systemd", []), ("under systemd", ["--systemd"])):
            completed = subprocess.run([args.kest_watch_cpu, *extra], stdout=subprocess.PIPE,
                                       text=True, env=dict(os.environ, TMPDIR=work))
            lines = dict(line.split(": ", 1) for line in completed.stdout.splitlines())
            ok = ok and completed.returncode == 0 and lines.get("kept") == "yes"
            figures[label].append((float(lines.get("cpu-ms", "nan")),
                                   int(lines.get("processes", "0")),
                                   float(lines.get("wall-ms", "nan")),
                                   int(lines.get("listed", "0"))))
    for label, runs in figures.items():
        cpu = [run[0] for run in runs]
        ok = ok and max(cpu) <= WATCH_CPU_LIMIT_MS
        print(f"watch {label}: {statistics.median(cpu):.2f} ms of processor time"
              f" ({min(cpu):.2f}-{max(cpu):.2f}, limit {WATCH_CPU_LIMIT_MS} ms) over"
              f" {statistics.median(run[2] for run in runs) / 1000:.2f} s,"
              f" {statistics.median(run[1] for run in runs)} processes in /proc,"
              f" {statistics.median(run[3] for run in runs)} of them running a file")
    return ok


# ---------------------------------------------------------------- downtime

def bench_downtime(args, work):
    command = ["/usr/bin/python3", os.path.join(HERE, "downtime.py"),
               "--kest-update", args.kest_update, "--kestd-v1", args.kestd_v1,
               "--kestd-v2", args.kestd_v2, "--rounds", str(args.downtime_rounds),
               "--work", work]
    if args.baseline_updater:
        command += ["--baseline-kest-update", args.baseline_updater]
    completed = subprocess.run(command)
    return completed.returncode == 0


# ---------------------------------------------------------------- main

def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the CMake build directory")
    parser.add_argument("--work", default="/var/tmp/kest-bench",
                        help="scratch directory, removed at the end")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", action="append", choices=[w[1] for w in WORKLOADS],
                        help="only this copy workload (big, small, agent); may be repeated")
    parser.add_argument("--file-system", action="append", choices=FILE_SYSTEMS,
                        help="copy only on this file system: work (that of --work), tmpfs or"
                             " overlay; may be repeated")
    parser.add_argument("--baseline", metavar="KEST_COPY_TREE",
                        help="another build's kest-copy-tree, timed in the same rounds")
    parser.add_argument("--baseline-updater", metavar="KEST_UPDATE",
                        help="another build's kest-update, in every other downtime round")
    parser.add_argument("--detach-runs", type=int, default=50,
                        help="runs of the detach probe, and of each dry-run series")
    parser.add_argument("--downtime-rounds", type=int, default=3)
    parser.add_argument("--watch-rounds", type=int, default=3)
    parser.add_argument("--no-realtime", action="store_true",
                        help="run the copies at normal priority, not under chrt --fifo 10")
    parser.add_argument("what", nargs="*", metavar="WHAT",
                        help="all (default), copy, check, flush, record, memory, detach,"
                             " dry-run, watch or downtime")
    args = parser.parse_args()
    args.what = args.what or ["all"]
    args.file_system = args.file_system or list(FILE_SYSTEMS)
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    if args.baseline_updater:
        args.baseline_updater = os.path.abspath(args.baseline_updater)
    for what in args.what:
        if what not in ("all", "copy", "check", "flush", "record", "memory", "detach",
                        "dry-run", "watch", "downtime"):
            parser.error(f"unknown benchmark {what!r}")
    build = os.path.abspath(args.build)
    args.kest_copy_tree = os.path.join(build, "kest-copy-tree")
    args.kest_update = os.path.join(build, "kest-update")
    args.kest_watch_cpu = os.path.join(build, "kest-watch-cpu")
    args.kestd_v1 = os.path.join(build, "tests", "e2e", "kestd-v1")
    args.kestd_v2 = os.path.join(build, "tests", "e2e", "kestd-v2")
    return args


def main():
    global realtime
    args = parse_args()
    realtime = not args.no_realtime
    if os.geteuid() != 0:
        print("bench.py needs root (mount namespaces)", file=sys.stderr)
        return 1
    what = set(args.what)
    if "all" in what:
        what |= {"copy", "check", "flush", "record", "memory", "detach", "dry-run", "watch"}
    work = os.path.abspath(args.work)
    if "copy" in what and set(args.file_system) - {"work"}:
        enter_private_mount_namespace()
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    ok = True
    try:
        if "copy" in what:
            ok = bench_copy(args, os.path.join(work, "copy")) and ok
        if "check" in what:
            ok = bench_check(args, os.path.join(work, "check")) and ok
        if "flush" in what:
            ok = bench_flush(args, os.path.join(work, "flush")) and ok
        if "record" in what:
            ok = bench_record(args, os.path.join(work, "record")) and ok
        if "memory" in what:
            ok = bench_memory(args, os.path.join(work, "memory")) and ok
        if "detach" in what:
            ok = bench_detach(args, os.path.join(work, "detach")) and ok
        if "dry-run" in what:
            ok = bench_dry_run(args, os.path.join(work, "dry-run")) and ok
        if "watch" in what:
            ok = bench_watch(args, os.path.join(work, "watch")) and ok
        if "downtime" in what:
            ok = bench_downtime(args, os.path.join(work, "downtime")) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("all figures within their limits" if ok else "some figure is over its limit")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
