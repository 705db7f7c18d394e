// The plan of every change the update will make, kept in the undo record before the agent is
// stopped.
#pragma once

#include <string>

#include "base/update_paths.h"
#include "rollback/undo_record.h"

namespace kest {

// Opens the record in `paths.record_folder` (open_undo_record) and plans, in the copy's own walk
// (the staged unit folder skipped unless `systemd`), every change the copy will make where its
// writes land: each existing regular file it will write (plan_kept_file) but a staged file that
// is its own destination, each file and directory it will create (plan_absent); and, when
// `systemd` runs the host and the agent's unit lacks the setting its drop-in adds, the drop-in
// the stop writes: its folder when it will be made, and its file. Then seals the record. A part
// of the staged tree that the walk cannot reach now is left to the copy, which fails on it.
// Returns 0, or the errno of what could not be done, with `failed` naming the record's folder,
// where the copies are written. Logs nothing.
int plan_before_stop(const update_paths& paths, bool systemd, undo_record& record,
                     std::string& failed);

}  // namespace kest
