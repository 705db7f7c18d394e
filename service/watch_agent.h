// Tells whether the agent keeps running after the restart of an update.
#pragma once

#include <string>
#include <vector>

namespace kest {

// Where the watch finds the agent's processes; tests give their own.
struct agent_places {
    // The process lists of kest.service's control group: in the unified hierarchy (mounted on
    // its own, or below unified/ on a hybrid host) and in systemd's own. The first that can be
    // read is the one asked.
    std::vector<std::string> cgroup_process_lists{
        "/sys/fs/cgroup/system.slice/kest.service/cgroup.procs",
        "/sys/fs/cgroup/unified/system.slice/kest.service/cgroup.procs",
        "/sys/fs/cgroup/systemd/system.slice/kest.service/cgroup.procs"};
    std::string executable{"/usr/sbin/kestd"};
};

// Watches the agent for 10 s after a restart that succeeded, and returns whether the new release
// is kept: true when at least one of the agent's processes seen in the first second still runs at
// the end; false when none was seen, or once the last of them has ended (at once, not at the end
// of the 10 s). The agent's processes: when `systemd` runs the host, those in kest.service's
// control group, but for this process and its children (the agent starts the updater from
// inside its unit); without, those that run the agent's executable (the file at
// `places.executable` when the watch starts, by device and inode) or whose command line names
// it as its first or second word (a script under its interpreter), this process excepted.
//
// Each one seen is held by a pidfd, so a process given the pid of one that ended does not count
// for it, and after the first second the watch sleeps until one of them ends: it costs next to no
// processor time, and runs no command. Where the kernel gives no pidfd (before Linux 5.3, a
// filter that refuses it, no descriptor left) they are probed by pid once a second instead, and
// a process given the pid of one that ended is taken for it. Logs nothing.
bool watch_agent(bool systemd, const agent_places& places = {});

}  // namespace kest
