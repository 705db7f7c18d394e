#!/usr/bin/python3
"""Agent downtime during an update, in the end-to-end suite's systemd container.

    downtime.py --kest-update BIN --kestd-v1 BIN --kestd-v2 BIN [--rounds N]
                [--baseline-kest-update BIN]

Reuses the end-to-end harness (tests/e2e/harness): boots its throwaway systemd container,
installs kest-update and release 1 of the sample agent, hands the agent release 2 and signals
it, exactly as the sample update does. The agent stages the release and starts kest-update
from inside its own unit; the downtime is the time from systemd's stop job of kest.service
(its journal entry) to the start of the new agent (the agent's own record). Two packages:
the sample release (four small files) and the same with an agent-like tree of about 150 MiB
(the copy benchmark's agent workload) added below usr/lib/kestd. Each round reinstalls
release 1 first; an untimed first update installs the files, so that the timed ones write
over them in place, as a real update does. Prints the median downtime and where it went, from the journal times of
the updater's own lines. With --baseline-kest-update, another build of the updater (one without
the undo record, say) runs every other round, and both are reported.
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, HERE)

from harness import entry, agent, session, systemd_agent, workdir  # noqa: E402
from harness.wait import wait_for  # noqa: E402

import bench  # noqa: E402  (the workload generator)

# Updater lines that mark the phases, in the order it logs them.
MARKS = [
    ("stop", "Stopping systemd service"),
    ("copy", "Copy to directory /var/kest/update"),
    ("enable", "Enabling services and reloading systemd"),
    ("restart", "Restart the daemons via systemd"),
]



def agent_tree():
    """The copy benchmark's agent-like tree as package entries below usr/lib/kestd."""
    block = bench._pattern(5)
    entries = {}
    for index, size in enumerate(bench.agent_sizes()):
        offset = (index * 7919) % len(block)
        content = (block[offset:] + block * (size // len(block) + 1))[:size]
        entries[f"usr/lib/kestd/d{index % 40:02d}/file{index:03d}"] = (content, 0o644)
    return entries


def one_update(box, builds, package, updater=None):
    if updater is not None:
        agent.write_file(box, agent.UPDATER, updater, 0o755)
    systemd_agent.remove_agent(box)
    systemd_agent.install_agent(box, builds, "1")
    status, since = systemd_agent.run_update(box, package)
    if status != "exit 0":
        raise AssertionError(f"the agent saw the updater return {status}")
    agent.wait_for_release(box, "2")
    stops = box.journal(since, UNIT="kest.service", JOB_TYPE="stop")
    if not stops:
        raise AssertionError("no stop job of kest.service in the journal")
    stopped = int(stops[0]["__REALTIME_TIMESTAMP"])
    started = agent.agent_start_usec(box)
    marks = {}
    for entry in box.journal(since, SYSLOG_IDENTIFIER="kest-update"):
        for name, text in MARKS:
            if entry["MESSAGE"] == text and name not in marks:
                marks[name] = int(entry["__REALTIME_TIMESTAMP"])
    if len(marks) != len(MARKS):
        raise AssertionError(f"updater lines missing from the journal: {sorted(marks)}")
    starts = [int(e["__REALTIME_TIMESTAMP"])
              for e in box.journal(marks["restart"], UNIT="kest.service", JOB_TYPE="start")]
    if not starts:
        raise AssertionError("no start job of kest.service after the restart in the journal")
    return {
        "down": started - stopped,
        # systemctl stop: from systemd's stop job to the updater's next line
        "stop": marks["copy"] - stopped,
        # the installer's walk and copy
        "copy": marks["enable"] - marks["copy"],
        # chmod 644 twice, systemctl enable twice, systemctl daemon-reload
        "enable": marks["restart"] - marks["enable"],
        # systemctl restart kest-watcher, then systemctl restart kest up to its start job
        "restart": starts[0] - marks["restart"],
        # the start job: ExecStartPre (kestd --check), then the agent up to its own record
        "start": started - starts[0],
    }


def report(label, rounds):
    def med(key):
        return statistics.median(r[key] for r in rounds) / 1000

    downs = [r["down"] / 1000 for r in rounds]
    print(f"downtime, {label}: median {med('down'):.0f} ms"
          f" (spread {min(downs):.0f}-{max(downs):.0f} ms, {len(rounds)} rounds):"
          f" stop {med('stop'):.0f}, copy {med('copy'):.0f},"
          f" chmod/enable/daemon-reload {med('enable'):.0f},"
          f" restart commands {med('restart'):.0f}, agent start {med('start'):.0f} ms",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    entry.add_build_arguments(parser)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", help="unused; the harness keeps its own work folders")
    parser.add_argument("--baseline-kest-update", metavar="BIN",
                        help="another kest-update, timed in every other round")
    args = parser.parse_args()
    entry.use_builds(args)
    entry.stop_on_signals()

    workdir.clean_leftovers()
    try:
        builds = agent.Builds()
        print("downtime: booting the end-to-end suite's systemd container ...", flush=True)
        box = session.systemd_container()
        systemd_agent.install_updater(box, builds)
        sample = agent.release_package(builds, "2")
        large = dict(sample)
        large.update(agent_tree())
        size = sum(len(content) for content, _ in large.values())
        updaters = [("", None)]
        if args.baseline_kest_update:
            with open(builds.kest_update, "rb") as f:
                updaters = [("", f.read())]
            with open(args.baseline_kest_update, "rb") as f:
                updaters.append((", baseline", f.read()))
        for label, package in (("sample agent", sample),
                               (f"agent tree of {size / bench.MIB:.0f} MiB", large)):
            # An untimed first update, so that every timed one writes over an installed tree,
            # as a real update does.
            one_update(box, builds, package)
            rounds = {name: [] for name, _ in updaters}
            for _ in range(args.rounds):
                for name, updater in updaters:
                    rounds[name].append(one_update(box, builds, package, updater))
            for name, _ in updaters:
                report(label + name, rounds[name])
        systemd_agent.remove_agent(box)
    finally:
        session.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
