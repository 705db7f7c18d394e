// Brings the agent back after a successful installation.
#pragma once

#include <string>

namespace kest {

// With systemd: re-registers and restarts the agent's units, falling back to "service kest
// start" and then to `start_command`; without systemd: "service kest start", then
// `start_command`. The whole attempt is repeated up to 4 times, 1 s apart, with systemd's
// presence asked afresh each time. The outcome shows only in the log.
void restart_agent(const std::string& start_command);

}  // namespace kest
