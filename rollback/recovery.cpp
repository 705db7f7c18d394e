#include "rollback/recovery.h"

#include "base/log.h"
#include "base/written_file_systems.h"

namespace kest {

recovery end_rollback(undo_record& record, int not_restored) {
    // The record may only go once what it restored is on disk.
    flush_written();
    if (not_restored != 0) {
        log_err("Rollback incomplete: %d entries not restored", not_restored);
        return recovery::incomplete;
    }
    log_info("Rolled back the update");
    (void)remove_undo_record(record);
    return recovery::restored;
}

recovery_result recover_interrupted_update(const std::string& folder,
                                           const std::function<void()>& reload,
                                           const stop_programs& stop) {
    undo_record record;
    const record_state state = find_interrupted_record(folder, record);
    if (state == record_state::none) {
        if (record.journal.valid()) {
            (void)remove_undo_record(record);  // a plan cut short: nothing was changed
        }
        return {};
    }
    log_info("Recovering an interrupted update");
    if (state == record_state::committed ||
        (state == record_state::restarted && record.same_boot)) {
        keep_new_release(record);
        flush_written();
        (void)mark_committed(record);
        (void)remove_undo_record(record);
        log_info("Completed the update");
        return {recovery::completed, {}};
    }
    const recovery ended = end_rollback(record, undo_changes(record, reload, nullptr, stop));
    return {ended, record.not_restored};
}

}  // namespace kest
