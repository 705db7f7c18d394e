// Makes sure that nothing of a release runs while an update is undone.
#pragma once

#include <vector>

#include "base/platform.h"

namespace kest {

// Kills with SIGKILL every process that runs one of `files` (by device and inode), this process
// excepted, and waits for them to end, 1 s at most; returns how many of them have not ended by
// then (0 normally). Each is held by a pidfd before its executable is checked and the signal is
// sent through it, so that a process given the pid of one that ended meanwhile is judged by what
// it runs itself. Where the kernel gives no pidfd (before Linux 5.3, a filter that refuses it)
// the signal goes to the pid after the check, and the wait probes the pids. A zombie counts as
// ended: it runs nothing. Logs nothing.
int stop_written_programs(const std::vector<platform::file_identity>& files);

}  // namespace kest
