"""The sample agent's life inside the systemd container: installed the way
its package would install it, and told to update itself from inside its own
unit. Shared by the systemd scenarios and the sample update."""

import signal

from . import agent
from .clock import now_usec
from .wait import wait_for

UPDATE_TIMEOUT = 60
UNITS = ("kest.service", "kest-watcher.service")
# Paths that scenarios may leave behind in the container.
LEFTOVER_PATHS = (agent.DROP_IN_DIR, agent.STATE_DIR, "/var/kest", "/etc/kest", "/usr/share/kestd",
                  "/var/lib/kest-update",
                  agent.HELPER_DIR)


def install_updater(box, builds):
    """Installs kest-update into the container: from its Debian package with
    dpkg when one was built, else the bare binary."""
    if builds.kest_update_package is None:
        with open(builds.kest_update, "rb") as f:
            agent.write_file(box, agent.UPDATER, f.read(), 0o755)
        return
    inside = "/tmp/kest-update.deb"
    with open(builds.kest_update_package, "rb") as f:
        agent.write_file(box, inside, f.read(), 0o644)
    box.run(["dpkg", "-i", inside])
    box.run(["rm", "-f", inside])
    status = box.run(["dpkg-query", "-W", "-f=${Status}", "kest-update"]).stdout
    if status != "install ok installed":
        raise AssertionError(f"the package did not install: {status!r}")


def remove_agent(box):
    """Stops the agent and removes every trace of it and of earlier updates."""
    box.systemctl("stop", *UNITS, check=False)
    remove_helpers(box)
    box.run(["rm", "-rf", *LEFTOVER_PATHS])
    box.systemctl("daemon-reload")
    # With the drop-in gone a stop again ends every process of the unit,
    # such as a copy of the agent that the start command left there.
    box.systemctl("stop", *UNITS, check=False)
    box.systemctl("disable", *UNITS, check=False)
    box.systemctl("reset-failed", check=False)
    leftovers = {pid: name for pid, name in box.process_names().items()
                 if name in ("kestd", "kestd-helper", "kest-update")}
    if leftovers:
        raise AssertionError(f"processes of an earlier scenario survived: {leftovers}")


def remove_helpers(box):
    """Ends the agent's helpers, which outlive its stop, and unmounts their folder."""
    def helpers():
        return [pid for pid, name in box.process_names().items() if name == "kestd-helper"]
    for pid in helpers():
        box.run(["kill", "-KILL", str(pid)], check=False)
    wait_for(lambda: not helpers(), 10, "the agent's helpers to end")
    box.run(["umount", agent.HELPER_DIR], check=False)


def install_helper(box, builds, release):
    """Installs the agent's helper on a tmpfs of its own: overlayfs would let its running
    executable be opened for writing, and a busy file is what the helper is for."""
    box.run(["mkdir", "-p", agent.HELPER_DIR])
    box.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "kestd-helper", agent.HELPER_DIR])
    agent.write_file(box, agent.HELPER, builds.agent_binary(release), 0o755)


def install_units(box, release, agent_unit_lines=()):
    agent.write_file(box, agent.AGENT_UNIT,
                     agent.unit_text("kest.service", release, agent_unit_lines), 0o644)
    agent.write_file(box, agent.WATCHER_UNIT,
                     agent.unit_text("kest-watcher.service", release), 0o644)


def install_agent(box, builds, release="1", agent_unit_lines=(), helper=False):
    """Installs and starts the given release, with its helper if asked; returns the agent's
    pid."""
    agent.install_executable(box, builds.agent_binary(release))
    if helper:
        install_helper(box, builds, release)
    install_units(box, release, agent_unit_lines)
    box.systemctl("daemon-reload")
    box.systemctl("enable", "--now", "kest-watcher.service", "kest.service")
    return agent.wait_for_release(box, release)


def run_update(box, package, trigger=signal.SIGUSR1):
    """Hands the package to the running agent, signals the agent's main
    process, and waits until the updater it started is gone. Returns
    (the exit status that the agent saw, the wall-clock time of the trigger)."""
    agent.put_download(box, package)
    since = now_usec()
    box.systemctl("kill", "--kill-who=main", f"--signal={trigger.name}", "kest.service")
    status = agent.wait_for_update_status(box)
    agent.wait_until_updater_gone(box, UPDATE_TIMEOUT)
    return status, since


def main_pid(box, unit):
    return int(box.unit_property(unit, "MainPID"))


def is_active(box, unit):
    return box.systemctl("is-active", unit, check=False).stdout.strip() == "active"
