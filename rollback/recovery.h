// Ending an undo, in a run whose update failed and in the recovery of one that ended early.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rollback/undo_record.h"

namespace kest {

enum class recovery {
    none,        // nothing to recover
    restored,    // every entry of the plan is as it was before the update
    completed,   // the update had reached its commit (or its restart, in this boot): it is kept
    incomplete,  // entries could not be restored: the record stays
};

// For an undo that undo_changes has done: flushes what it restored, then logs info "Rolled back
// the update" and removes the record (restored); or, when entries were not restored, logs err
// "Rollback incomplete: %d entries not restored" and keeps the record, so that a later recovery
// tries again (incomplete).
recovery end_rollback(undo_record& record, int not_restored);

// For a caller that holds the update lock. When `folder` holds a record of a run that ended
// before it finished (find_interrupted_record), logs info "Recovering an interrupted update",
// then: when the run had committed, or had restarted the new release in this boot (whose page
// cache holds all it wrote), keeps the new release: flushes what the plan names, marks the record
// committed, removes it, logs info "Completed the update" (completed); else undoes it
// (undo_changes, with `reload` and `stop`) and ends as end_rollback, naming what it could not
// restore. A record whose plan never
// reached the disk is removed without a word (none). Logs nothing when there is no record.
struct recovery_result {
    recovery state = recovery::none;
    std::vector<std::string> not_restored;  // for incomplete: the paths it logged
};
recovery_result recover_interrupted_update(const std::string& folder,
                                           const std::function<void()>& reload,
                                           const stop_programs& stop = nullptr);

}  // namespace kest
