// Whether only root and the updater's own user can change what an update would install, and
// where it would install it.
#pragma once

#include <string>

#include "guard/trusted_route.h"
#include "updater/update_paths.h"

namespace kest {

// Checks, before anything is stopped or copied, the directories that lead to the absolute path
// `paths.staging_root` (see check_route; its own status is left to the caller), then every
// directory and regular file that the installation will reach below it: the same walk, links
// followed (and the directories leading to each link's target checked as well), the same
// entries skipped. For each file the installation would write and each directory it would
// create, the directories on the way to it below `paths.destination` are checked too, links
// resolved as the installation would follow them. Each directory is looked at once. Logs
// nothing.
// Returns trust_ok; trust_refused with `named` set to the first path that others can change,
// as the walk names it (or the directory on a route); or -1 with `named` set to where the walk
// could not go on (a path beyond the system's limit, a directory unreadable for want of
// resources, a listing that failed), so that part of the tree could not be checked.
int check_update_tree(const update_paths& paths, std::string& named);

}  // namespace kest
