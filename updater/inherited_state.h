// Clears what a background process must not take over from whoever started it.
#pragma once

namespace kest {

// Puts every signal's disposition back to its default and empties the signal mask, so that a
// caller's ignored SIGCHLD (which makes waiting for commands fail) or blocked signals reach
// neither the updater nor the commands it runs.
void reset_signal_handling();

// Marks every descriptor from `first` on close-on-exec, so that none of them reaches the
// commands or the agent they start; the descriptors stay open for this process. Uses
// close_range where the kernel has it, else lists /proc/self/fd, else tries every number below
// the limit on open descriptors. False when a descriptor could not be marked.
bool mark_descriptors_close_on_exec(int first);

}  // namespace kest
