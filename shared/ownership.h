// Who besides root and the updater's own user could change a file: the rules that every check of
// ownership applies, written once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace kest {

// True when a file of `owner` and `group` with `mode` could be changed by a user other than root
// and `self`: another user owns it, or others may write it (sticky or not), or a group other than
// root's may: every member of such a group is another user.
inline bool others_can_change(uid_t owner, gid_t group, mode_t mode, uid_t self) {
    return (owner != 0 && owner != self) || (mode & S_IWOTH) != 0 ||
           ((mode & S_IWGRP) != 0 && group != 0);
}

// True when no user but `self` can even open a file of `owner` with `mode`: `self` owns it and
// it gives group and others no permission at all.
inline bool private_to(uid_t owner, mode_t mode, uid_t self) {
    return owner == self && (mode & (S_IRWXG | S_IRWXO)) == 0;
}

}  // namespace kest
