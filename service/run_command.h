// Runs external commands through the system shell.
#pragma once

#include <string>

namespace kest {

// Runs `command` through the shell exactly as given and waits for it. Returns the raw wait
// status (0 is success). A nonzero status is logged at err with the command's exit code
// (bits 8-15, so a death by signal shows 0), or 255 when the shell could not be started.
int run_command(const std::string& command);

// The exit code that the log shows for a raw wait status.
int command_exit_code(int status);

}  // namespace kest
