// Bringing back the old release after a run that ended before it finished.
#pragma once

#include <functional>
#include <string>

namespace kest {

// For a caller that holds the update lock. When `folder` holds a record of a run that ended
// before it finished (find_interrupted_record), logs info "Recovering an interrupted update",
// undoes it (undo_changes, with `reload`), flushes what it restored, then logs info "Rolled back
// the update" and removes the record; or, when entries were not restored, logs err "Rollback
// incomplete: %d entries not restored" and keeps the record, so that a later recovery tries
// again. Logs nothing when there is no record.
enum class recovery { none, restored, incomplete };

// Returns what it found and did: no record, every entry restored, or entries not restored.
recovery recover_interrupted_update(const std::string& folder, const std::function<void()>& reload);

}  // namespace kest
