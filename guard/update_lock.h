// The lock that lets one update run at a time.
#pragma once

#include "updater/unique_fd.h"

namespace kest {

// Takes an exclusive lock on the working directory (the staging root) without waiting, held by
// `lock` until that descriptor is closed in every process that shares it: a forked child keeps
// it, a command executed later does not get it (close-on-exec). Returns 0 when the lock is
// taken, EWOULDBLOCK while another run holds it, or the errno of another failure (`lock` then
// owns nothing).
int lock_working_directory(unique_fd& lock);

}  // namespace kest
