// Processes held by a pidfd, so that a process given the pid of one that has ended is never
// taken for it; by their pid alone where the kernel gives no pidfd.
#pragma once

#include <chrono>
#include <vector>

#include "base/unique_fd.h"

namespace kest {

struct held_process {
    long pid = 0;
    // Invalid where no pidfd could be had (a kernel before Linux 5.3, a filter that refuses it,
    // no descriptor left).
    unique_fd pidfd;
};

// Takes hold of process `pid` (through platform::seams.open_pidfd); false when no such process
// runs.
bool hold_process(long pid, held_process& held);

// Whether the held process has ended: gone, or a zombie that runs nothing. By pid, a process
// given that pid since counts as the held one.
bool has_ended(const held_process& process);

// Waits until every one of `processes` has ended or `bound` has passed, and returns how many
// have not ended. When each has a pidfd, one wait that returns as soon as the last one ends;
// otherwise a look every `probe_interval` (platform::seams.pause_for).
int wait_for_ends(const std::vector<held_process>& processes, std::chrono::milliseconds bound,
                  std::chrono::milliseconds probe_interval);

}  // namespace kest
