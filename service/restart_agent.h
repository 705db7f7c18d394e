// Brings the agent back: after a successful installation, and on the old release after a
// rollback.
#pragma once

#include <string>

namespace kest {

// When `systemd` runs the host: re-registers and restarts the agent's units, falling back to
// "service kest start" and then to `start_command`; without: "service kest start", then
// `start_command`. The whole attempt is repeated up to 4 times, 1 s apart. Returns true once one
// of the ways started the agent; false after the last attempt failed too, which is logged.
bool restart_agent(const std::string& start_command, bool systemd);

}  // namespace kest
