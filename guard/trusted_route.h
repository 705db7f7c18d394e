// Who besides root and the updater's own user can change a file, and the directories that lead
// to it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <unordered_set>

namespace kest {

inline constexpr int trust_ok = 0;
inline constexpr int trust_refused = 1;

// Directories already found to pass check_route's rule (or taken as safe) during one run, by
// their path without symbolic links; "" stands for /.
using sound_directories = std::unordered_set<std::string>;

// True when `status` belongs to a user other than root and `self`, or lets others write.
// Group-writable is allowed.
bool others_can_change(const struct stat& status, uid_t self);

// Checks every directory that the absolute `path` leads through, from / down to the directory
// that holds the object it finally names, resolving symbolic links one by one: the directories
// that hold each link on the way are checked too, so nobody else can swap a link or a directory
// for one of their own. The object itself is not checked (its own status is the caller's
// business). Directories strictly above `checked_from` are taken as safe ("/" checks them all).
// A path that does not resolve has nothing left to check. Directories in `sound` are not looked
// at again; those that pass are added to it.
// Returns trust_ok, or trust_refused with `refused` naming the first directory others can
// change.
int check_route(const std::string& path, const std::string& checked_from, uid_t self,
                sound_directories& sound, std::string& refused);

}  // namespace kest
