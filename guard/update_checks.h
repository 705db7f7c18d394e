// The checks made before the updater detaches from its caller, and so before anything is
// stopped or written.
#pragma once

#include "base/unique_fd.h"
#include "base/update_paths.h"

namespace kest {

// In the entered staging root: refuses a staging root that others can change, takes the update
// lock into `lock` (held there until the run ends), then checks the staged tree and where it
// goes (check_update_tree) and the agent's unit drop-in (preflight_drop_in), for a host that
// systemd runs or not as `systemd` says.
// Returns true when the update may go on, with the lock held; else false, having logged why
// at err in one line, with `lock` released.
bool lock_and_check_update(const update_paths& paths, bool systemd, unique_fd& lock);

}  // namespace kest
