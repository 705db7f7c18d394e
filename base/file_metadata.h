// Giving a file the owner, group and mode of another.
#pragma once

#include <sys/types.h>

namespace kest {

// Gives the file open as `fd` `owner`, `group` and the permission bits of `mode` (set-id and
// sticky bits included): the owner first, since a change of owner clears the set-id bits.
// Returns 0, or an errno.
int give_owner_and_mode(int fd, uid_t owner, gid_t group, mode_t mode);

}  // namespace kest
