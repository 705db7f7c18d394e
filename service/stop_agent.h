// Brings the running agent down before the update is installed.
#pragma once

#include <string>

#include "shared/change_notice.h"

namespace kest {

// When `systemd` runs the host: applies the unit drop-in patch to the agent's unit file at
// `unit_file` (see patch_service_unit, which tells `notice` what its drop-in changes), logs
// "Stopping systemd service" and runs "systemctl stop kest"; the pid is not used. Without: logs
// "Killing daemon", then probes the agent once a second for up to 10 probes and kills it with
// SIGKILL if it is still there. A pid that cannot name a single process (below 1 or above the
// kernel's pid_max) is refused with an err line and no signal. Signals go through a pidfd taken at
// the first probe, so a pid reused after the agent ended is never signalled. Without one (a kernel
// before Linux 5.3, a filter that refuses it, no descriptor left) they go to the pid, which a
// process started since the agent ended may have been given, to be probed and killed in its place:
// the risk is taken since an agent that does not end must be killed before its files are rewritten.
// Logged at err: the refused pid ("Invalid agent process id %ld") and, through the command runner,
// a failed command. A probe or kill that fails is not logged. Nothing is returned.
void stop_agent(long pid, const std::string& unit_file, bool systemd,
                const change_notice& notice = nullptr);

// The kernel's highest process id (/proc/sys/kernel/pid_max), or the largest possible one when
// that cannot be read.
long max_process_id();

}  // namespace kest
