"""The sample agent seen from outside: its files, its state records and its
release packages. Works with any environment that offers `path(inside)`
(the host path of a path inside it) and `run(argv)`.
"""

import os

from .wait import wait_for

STATE_DIR = "/var/lib/kestd"
DOWNLOAD_DIR = STATE_DIR + "/download"
STAGING_ROOT = "/var/kest/update"
EXECUTABLE = "/usr/sbin/kestd"
UPDATER = "/usr/sbin/kest-update"
# A helper of the agent that outlives its stop (see kestd.cpp), with its own executable.
HELPER_DIR = "/usr/lib/kestd"
HELPER = HELPER_DIR + "/kestd-helper"
START_COMMAND = "/usr/sbin/kestd --daemon"
UNIT_DIR = "/etc/systemd/system"
AGENT_UNIT = UNIT_DIR + "/kest.service"
WATCHER_UNIT = UNIT_DIR + "/kest-watcher.service"
DROP_IN_DIR = UNIT_DIR + "/kest.service.d"
OVERRIDE = DROP_IN_DIR + "/override.conf"
INIT_SCRIPT = "/etc/init.d/kest"
REFUSED_START_STATUS = 7  # exit status of a start refused by the agent's gate

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "agent")


class Builds:
    """The built artefacts under test, found through the environment
    (set by CTest, by run_e2e.py and by the sample update)."""

    def __init__(self):
        self.kest_update = _required_file("KEST_UPDATE_BIN")
        # The Debian package of that binary, when the run built one.
        self.kest_update_package = os.environ.get("KEST_UPDATE_DEB") or None
        self.releases = {"1": _required_file("KESTD_V1_BIN"), "2": _required_file("KESTD_V2_BIN")}
        # syscall_filter.cpp, built; needed only by the scenarios that refuse system calls.
        self.syscall_filter = os.environ.get("KEST_SYSCALL_FILTER_BIN") or None

    def agent_binary(self, release):
        with open(self.releases[release], "rb") as f:
            return f.read()


def _required_file(variable):
    path = os.environ.get(variable)
    if not path or not os.path.isfile(path):
        raise RuntimeError(f"{variable} must name a built file (got {path!r})")
    return path


def unit_text(name, release, extra_service_lines=()):
    """A unit file of the agent for the given release, optionally with more
    lines in its [Service] section."""
    with open(os.path.join(SOURCE_DIR, name)) as f:
        text = f.read().replace("@RELEASE@", release)
    if extra_service_lines:
        text = text.replace("[Service]\n", "[Service]\n" + "".join(l + "\n" for l in extra_service_lines))
    return text


def init_script_text():
    with open(os.path.join(SOURCE_DIR, "kest.init")) as f:
        return f.read()


def release_package(builds, release, agent_unit_lines=()):
    """Files of a release as the agent downloads them: relative path inside
    the staged tree -> (content, mode)."""
    return {
        "usr/sbin/kestd": (builds.agent_binary(release), 0o755),
        "etc/systemd/system/kest.service":
            (unit_text("kest.service", release, agent_unit_lines).encode(), 0o644),
        "etc/systemd/system/kest-watcher.service":
            (unit_text("kest-watcher.service", release).encode(), 0o644),
        "usr/share/kestd/release-notes.txt": (f"release {release}\n".encode(), 0o640),
    }


def write_file(env, inside, content, mode):
    host = env.path(inside)
    os.makedirs(os.path.dirname(host), exist_ok=True)
    if isinstance(content, str):
        content = content.encode()
    with open(host, "wb") as f:
        f.write(content)
    os.chmod(host, mode)


def read_file(env, inside):
    with open(env.path(inside), "rb") as f:
        return f.read()


def file_mode(env, inside):
    return os.stat(env.path(inside)).st_mode & 0o7777


def exists(env, inside):
    return os.path.lexists(env.path(inside))


def install_executable(env, content):
    """Installs the agent's executable as its package would (mode 0755). The
    file behind it keeps its identity, so the bind mount of it stays."""
    with open(env.agent_executable_file, "wb") as f:
        f.write(content)
    os.chmod(env.agent_executable_file, 0o755)


def put_download(env, package):
    """Places a release where the agent takes it from when told to update."""
    for relative, (content, mode) in package.items():
        write_file(env, f"{DOWNLOAD_DIR}/{relative}", content, mode)


def refuse_starts(env, count):
    """Makes the next `count` starts of the agent fail (see kestd's gate)."""
    write_file(env, f"{STATE_DIR}/refuse-starts", f"{count}\n", 0o644)


def running_agent(env):
    """(release, pid) from the agent's state record, if that process is alive
    and is the agent; None otherwise."""
    try:
        release, pid, _started = read_file(env, f"{STATE_DIR}/agent").decode().split()
    except (OSError, ValueError):
        return None
    if not env.process_is(int(pid), "kestd"):
        return None
    return release, int(pid)


def agent_start_usec(env):
    return int(read_file(env, f"{STATE_DIR}/agent").decode().split()[2])


def wait_for_release(env, release, timeout=30):
    """Waits until the agent of the given release runs; returns its pid."""
    def probe():
        agent = running_agent(env)
        return agent[1] if agent and agent[0] == release else None
    return wait_for(probe, timeout, f"agent release {release} to run")


def events(env):
    """The agent's event records: list of (usec, text), oldest first."""
    try:
        lines = read_file(env, f"{STATE_DIR}/events").decode().splitlines()
    except OSError:
        return []
    return [(int(usec), text) for usec, _, text in (l.partition(" ") for l in lines)]


def event_texts(env):
    return [text for _, text in events(env)]


def helper_pids(env, release):
    """Pids of the helpers that agents of the given release started."""
    prefix = f"start helper {release} "
    return [int(text[len(prefix):]) for text in event_texts(env) if text.startswith(prefix)]


def update_status(env):
    """What the agent saw as the updater's exit (e.g. "exit 0"), or None."""
    try:
        return read_file(env, f"{STATE_DIR}/update-status").decode().strip()
    except OSError:
        return None


def wait_for_update_status(env, timeout=30):
    return wait_for(lambda: update_status(env), timeout, "the agent to see the updater's exit")


def wait_until_updater_gone(env, timeout=60):
    """Waits until no kest-update process is left in the environment."""
    wait_for(lambda: "kest-update" not in env.process_names().values(), timeout,
             "the detached updater to finish")
