// The checks of the staged tree and of where it goes, made in one walk before anything is
// stopped or written.
#pragma once

#include "base/update_paths.h"
#include "guard/preflight.h"
#include "guard/refusal.h"

namespace kest {

// Checks, in one walk of the tree below `paths.staging_root` (the copy's walk: links followed,
// the same entries skipped; the staged unit folder skipped unless `systemd`):
// - that only root and the effective user can change the directories that lead to the staging
//   root (its own status is left to the caller), every directory and regular file the copy will
//   reach, the directories leading to each staged link's target, and, for each file the copy
//   would write and each directory it would create, the directories on the way to where that
//   write lands (find_landing: links followed as the copy follows them). Each directory is
//   looked at once;
// - that each destination can be written as the copy will meet it (see preflight.h);
// - at the end, the undo record's folder (see preflight_record), and that each file system
//   written to has the space and inodes the update needs, the record's included;
// - that the tree can be read whole: an entry whose status cannot be read (but for a vanished
//   entry, a dangling link or a link loop), a path beyond the system's limit, a directory
//   unreadable for want of resources or a listing that fails would stop the copy there;
// - that the walk stays within its bounds (see walk_tree), however the staged links branch.
// Logs nothing. Returns no refusal, or the first in walk order (the space last), and sets
// `counts` to what the copy will do (see preflight.h), as far as the walk got.
refusal check_update_tree(const update_paths& paths, bool systemd, update_counts& counts);

}  // namespace kest
