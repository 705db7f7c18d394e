#!/usr/bin/python3
"""The sample update: boots a throwaway systemd container, installs release
1 of the sample agent, hands it release 2 and lets it start kest-update from
inside its own unit, then shows what happened.

    sample_update.py --kest-update BIN --kestd-v1 BIN --kestd-v2 BIN

Needs root and systemd-nspawn. Leaves nothing behind: the container is
powered off and its overlay removed however the run ends.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import entry, agent, session, systemd_agent, workdir  # noqa: E402
from harness.loglines import ERR, INFO  # noqa: E402
from harness.wait import wait_for  # noqa: E402

PRIORITY_NAMES = {INFO: "info", ERR: "err"}



def describe_agent(box):
    running = agent.running_agent(box)
    if running is None:
        return "not running"
    release, pid = running
    return f"release {release} (pid {pid})"


def stop_time(box, since):
    """When systemd began to stop kest.service, from its own journal entry."""
    entries = box.journal(since, UNIT="kest.service", JOB_TYPE="stop")
    return int(entries[0]["__REALTIME_TIMESTAMP"]) if entries else None


def run(builds):
    print("Booting a throwaway systemd container ...", flush=True)
    box = session.systemd_container()
    systemd_agent.install_updater(box, builds)
    systemd_agent.install_agent(box, builds, "1")
    print(f"Agent before the update: {describe_agent(box)}")

    print("Handing release 2 to the agent and letting it start kest-update ...", flush=True)
    status, since = systemd_agent.run_update(box, agent.release_package(builds, "2"))
    print(f"The agent saw kest-update exit with: {status}")
    wait_for(lambda: agent.running_agent(box), 30, "an agent to run again")

    print("\nJournal lines of kest-update:")
    for entry in box.journal(since, SYSLOG_IDENTIFIER="kest-update"):
        priority = PRIORITY_NAMES.get(int(entry["PRIORITY"]), entry["PRIORITY"])
        print(f"  {priority:>4}  {entry['MESSAGE']}")

    print(f"\nAgent after the update: {describe_agent(box)}")
    stopped = stop_time(box, since)
    started = agent.agent_start_usec(box)
    if stopped is None:
        print("Downtime: unknown (no stop of kest.service in the journal)")
    else:
        print(f"Agent down for {(started - stopped) / 1e6:.2f} s "
              "(from the stop of kest.service to the new agent running)")
    return 0 if agent.running_agent(box)[0] == "2" else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    entry.add_build_arguments(parser)
    args = parser.parse_args()
    entry.use_builds(args)
    entry.stop_on_signals()

    workdir.clean_leftovers()
    try:
        return run(agent.Builds())
    finally:
        print("Removing the container ...", flush=True)
        session.shutdown()


if __name__ == "__main__":
    sys.exit(main())
