"""What both kinds of test environment share: access to their files and
processes from the host, through the root and the /proc of their leader
process (the container's systemd, or the PID 1 of a host without systemd)."""

import os


class Environment:
    leader = None  # host pid of the environment's first process

    def path(self, inside):
        """The host path of a path inside the environment (its own mounts
        included, such as the bind-mounted agent executable)."""
        return f"/proc/{self.leader}/root/{inside.lstrip('/')}"

    def _name_and_state(self, pid):
        """(command name, state letter) of a process inside, or None."""
        try:
            with open(self.path(f"/proc/{pid}/stat")) as f:
                stat = f.read()
        except OSError:
            return None
        command, _, rest = stat.rpartition(")")
        return command.partition("(")[2], rest.split()[0]

    def process_is(self, pid, name):
        """True when pid is a live (not zombie) process with that command name."""
        found = self._name_and_state(pid)
        return found is not None and found[0] == name and found[1] != "Z"

    def process_names(self):
        """pid -> command name of every live process inside the environment."""
        names = {}
        for entry in os.listdir(self.path("/proc")):
            found = self._name_and_state(entry) if entry.isdigit() else None
            if found and found[1] != "Z":
                names[int(entry)] = found[0]
        return names
