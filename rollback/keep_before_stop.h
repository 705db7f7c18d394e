// What the undo record keeps before the agent is stopped, so that the copy after the stop only
// notes its changes.
#pragma once

#include <string>

#include "base/update_paths.h"
#include "rollback/undo_record.h"

namespace kest {

// Opens the record in `paths.record_folder` (open_undo_record) and keeps (keep_old_file) every
// existing regular file that the copy will write: where each staged file lands, in the copy's
// own walk (the staged unit folder skipped unless `systemd`), but for a staged file that is its
// own destination; and, when `systemd` runs the host and the agent's unit lacks the setting its
// drop-in adds, the drop-in file that the stop rewrites. Then seals the record. A part of the
// staged tree that the walk cannot reach now is left to the copy, which fails on it.
// Returns 0, or the errno of what could not be done, with `failed` naming the record's folder,
// where the copies are written.
// Logs nothing.
int keep_before_stop(const update_paths& paths, bool systemd, undo_record& record,
                     std::string& failed);

}  // namespace kest
