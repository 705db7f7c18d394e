// The lock that lets one update run at a time.
#pragma once

#include <string>

#include "base/unique_fd.h"

namespace kest {

// The lock file is not this run's alone: others could open it and hold the lock.
inline constexpr int lock_others_can_change = -1;

// Opens (creating it with mode 0600 if missing, never through a symbolic link) the file `path`
// and takes an exclusive lock on it without waiting, held by `lock` until that descriptor is
// closed in every process that shares it: a forked child keeps it, a command executed later does
// not get it (close-on-exec). The file is refused unless it is a regular file of the effective
// user with no permission for group or others; it is never changed, replaced or removed.
// Returns 0 when the lock is taken; EWOULDBLOCK while another run holds it;
// lock_others_can_change for a file that fails the rule above; or the errno of another failure.
// `lock` owns nothing unless 0 is returned.
int take_update_lock(const std::string& path, unique_fd& lock);

}  // namespace kest
