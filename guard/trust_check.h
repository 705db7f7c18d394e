// Whether an update may be installed: only root and the updater's own user can change what it
// would install and where, and every destination can take what will be written to it.
#pragma once

#include "base/update_paths.h"
#include "guard/refusal.h"
#include "guard/trusted_route.h"

namespace kest {

// Checks, before anything is stopped or copied, in one walk of the tree below
// `paths.staging_root` (the installation's walk: links followed, the same entries skipped):
// - that only root and the effective user can change the directories that lead to the staging
//   root (see check_route; its own status is left to the caller), every directory and regular
//   file the installation will reach, the directories leading to each staged link's target,
//   and, for each file it would write and each directory it would create below
//   `paths.destination`, the directories on the way there, links resolved as the installation
//   follows them. Each directory is looked at once;
// - that each destination can be written as the installation will meet it: a directory where a
//   directory is staged, a regular file where a file is, not on a read-only file system, not
//   immutable or append-only (see preflight.h);
// - at the end, that each file system written to has the space and inodes the update needs.
// - that the tree can be read whole: a path beyond the system's limit, a directory unreadable for
//   want of resources or a listing that fails would stop the installation there.
// Logs nothing. Returns trust_ok, or trust_refused with `why` saying what is refused, for the
// first entry in walk order that fails (the space last).
int check_update_tree(const update_paths& paths, refusal& why);

}  // namespace kest
