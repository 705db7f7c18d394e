// The few platform services that the update sequence's decisions depend on, reached through
// replaceable function pointers: production uses the real ones, unit tests install recorders.
#pragma once

#include <chrono>

namespace kest::platform {

// Sleeps for the given time, resuming after interruptions.
extern void (*pause_for)(std::chrono::milliseconds duration);
// Whether systemd is installed on this host.
extern bool (*systemd_check)();
// Runs a command line through the system shell and returns its raw wait status.
extern int (*shell)(const char* command);
// Detaches the run from its caller; returns only in the process that goes on.
extern void (*detach)(const char* directory);
// Sends `signal` through `pidfd` when it is valid (>= 0), else to `pid`; 0 or -1 with errno.
extern int (*send_signal)(int pidfd, long pid, int signal);

}  // namespace kest::platform
