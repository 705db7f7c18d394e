#include "rollback/keep_before_stop.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/file_identity.h"
#include "shared/landing.h"
#include "shared/unit_drop_in.h"
#include "shared/walk_tree.h"

namespace kest {
namespace {

// Keeps the regular file that a write of `destination` lands on, unless it is `staged` itself.
int keep_landing(undo_record& record, const std::string& destination, known_directories& known,
                 const struct stat* staged) {
    const landing lands = find_landing(destination, write_kind::file, known);
    if (lands.error != 0 || lands.looked_up != 0 || !S_ISREG(lands.existing.mode)) {
        return 0;
    }
    if (staged != nullptr && same_file(identity_of(lands.existing), identity_of(*staged))) {
        return 0;
    }
    return keep_old_file(record, lands.target);
}

}  // namespace

int keep_before_stop(const update_paths& paths, bool systemd, undo_record& record,
                     std::string& failed) {
    int error = open_undo_record(paths.record_folder, record);
    if (error != 0) {
        failed = paths.record_folder;
        return error;
    }
    known_directories known;
    const auto stop_on = [&](int kept, const std::string& path) {
        error = kept;
        failed = path;
        return kept == 0 ? walk_step::go_on : walk_step::stop;
    };
    const walk_hooks hooks{
        .entered = nullptr,
        .skipped_folder = nullptr,
        .directory = nullptr,
        .make_destination = nullptr,
        .regular_file =
            [&](const walk_entry& file) {
                return stop_on(keep_landing(record, file.destination, known, &file.status),
                               paths.record_folder);
            },
        // What the walk cannot reach changed since the checks: the copy meets it too and
        // fails, and what it changed before is in the record.
        .loop = nullptr,
        .unreadable = nullptr,
        .too_large = nullptr,
    };
    if (!walk_tree(paths.staging_root, paths.destination, systemd ? "" : paths.unit_folder,
                   hooks) &&
        error != 0) {
        return error;
    }
    if (systemd && drop_in_needed(paths.unit_file)) {
        const std::string drop_in = drop_in_file(paths.unit_file);
        error = keep_landing(record, drop_in, known, nullptr);
        if (error != 0) {
            failed = paths.record_folder;
            return error;
        }
    }
    error = seal_undo_record(record);
    if (error != 0) {
        failed = paths.record_folder;
    }
    return error;
}

}  // namespace kest
