// Runs a command line through the system shell.
#pragma once

namespace kest {

// Runs `command` with "/bin/sh -c" and waits for it, as system(3) does: SIGINT and SIGQUIT are
// ignored and SIGCHLD is held while it runs, and the shell gets this process's own signal
// handling back. Returns the shell's raw wait status; -1 when no shell could be started; a
// shell that cannot be executed exits with 127.
int run_shell(const char* command);

}  // namespace kest
