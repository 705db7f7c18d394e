#include "rollback/recovery.h"

#include "base/log.h"
#include "base/written_file_systems.h"
#include "rollback/undo_record.h"

namespace kest {

recovery recover_interrupted_update(const std::string& folder,
                                    const std::function<void()>& reload) {
    undo_record record;
    if (!find_interrupted_record(folder, record)) {
        return recovery::none;
    }
    log_info("Recovering an interrupted update");
    const int not_restored = undo_changes(record, reload);
    // The record may only go once what it restored is on disk.
    flush_written();
    if (not_restored != 0) {
        log_err("Rollback incomplete: %d entries not restored", not_restored);
        return recovery::incomplete;
    }
    log_info("Rolled back the update");
    // A record left behind holds only restored entries: a later recovery has nothing to redo.
    (void)remove_undo_record(record);
    return recovery::restored;
}

}  // namespace kest
