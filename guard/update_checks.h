// The checks made before the updater detaches from its caller, and so before anything is
// stopped or written.
#pragma once

#include "base/unique_fd.h"
#include "base/update_paths.h"
#include "guard/preflight.h"

namespace kest {

// Enters the staging root `paths.staging_root` as the working directory. False when it cannot
// be, having logged "Failed to change the current update directory" at err.
bool enter_staging_root(const update_paths& paths);

// Takes the update lock at `paths.lock_file` (see take_update_lock) into `lock`, held there until
// the run ends. True when taken; else false, having logged why at err in one line ("Another
// update is running", the refusal of a lock file others could hold, or "Failed to take the
// update lock %s: %s").
bool lock_update(const update_paths& paths, unique_fd& lock);

// In the entered staging root: refuses a staging root that others can change ("Refusing the
// update directory %s: other users can change it"), then takes the update lock (lock_update).
bool lock_safe_staging_root(const update_paths& paths, unique_fd& lock);

// Checks the staged tree and where it goes, the undo record's folder (check_update_tree) and the
// agent's unit drop-in (preflight_drop_in), for a host that systemd runs or not as `systemd`
// says. True when the update may go on; else false, having logged why at err in one line.
bool may_install(const update_paths& paths, bool systemd);

// As above, setting `counts` to what the copy will do, as far as the checks got.
bool may_install(const update_paths& paths, bool systemd, update_counts& counts);

}  // namespace kest
