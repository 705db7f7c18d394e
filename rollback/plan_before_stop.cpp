#include "rollback/plan_before_stop.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/file_identity.h"
#include "shared/landing.h"
#include "shared/unit_drop_in.h"
#include "shared/walk_tree.h"

namespace kest {
namespace {

struct planner {
    undo_record& record;
    known_directories known;  // directories the copy will make count as there
};

// Plans the write of a file at `destination`, unless it lands on `staged` itself.
int plan_file(planner& plan, const std::string& destination, const struct stat* staged,
              bool reload_after = false) {
    const landing lands = find_landing(destination, write_kind::file, plan.known);
    if (lands.error != 0) {
        return 0;  // the copy fails there, before it writes anything
    }
    if (lands.looked_up == ENOENT) {
        return plan_absent(plan.record, change_kind::create_file, lands.target, reload_after);
    }
    if (lands.looked_up != 0 || !S_ISREG(lands.existing.mode) ||
        (staged != nullptr && same_file(identity_of(lands.existing), identity_of(*staged)))) {
        return 0;
    }
    return plan_kept_file(plan.record, lands.target, reload_after);
}

// Plans the making of the directory `destination` when it is missing; what goes below it then
// lands in it, as if it were there.
int plan_directory(planner& plan, const std::string& destination, bool reload_after = false) {
    const landing lands = find_landing(destination, write_kind::directory, plan.known);
    if (lands.error != 0 || lands.looked_up != ENOENT) {
        return 0;
    }
    plan.known.emplace(lands.target, true);
    return plan_absent(plan.record, change_kind::create_directory, lands.target, reload_after);
}

// The drop-in, which the stop writes before the copy begins: its folder, when made, is undone
// last of the two and followed by a reload; else the file is.
int plan_drop_in(planner& plan, const std::string& unit_file) {
    const std::string directory = drop_in_directory(unit_file);
    const landing folder = find_landing(directory, write_kind::directory, plan.known);
    const bool made = folder.error == 0 && folder.looked_up == ENOENT;
    if (const int error = plan_directory(plan, directory, made); error != 0) {
        return error;
    }
    return plan_file(plan, drop_in_file(unit_file), nullptr, !made);
}

}  // namespace

int plan_before_stop(const update_paths& paths, bool systemd, undo_record& record,
                     std::string& failed) {
    failed = paths.record_folder;
    int error = open_undo_record(paths.record_folder, record);
    if (error != 0) {
        return error;
    }
    planner plan{record, {}};
    const auto stop_on = [&error](int planned) {
        error = planned;
        return planned == 0 ? walk_step::go_on : walk_step::stop;
    };
    const walk_hooks hooks{
        .make_destination =
            [&](const std::string&, const std::string& destination) {
                return stop_on(plan_directory(plan, destination));
            },
        .regular_file =
            [&](const walk_entry& file) {
                return stop_on(plan_file(plan, file.destination, &file.status));
            },
        // What the walk cannot reach changed since the checks: the copy meets it too and
        // fails, and what it changed before is in the plan.
    };
    if (systemd && drop_in_needed(paths.unit_file)) {
        if ((error = plan_drop_in(plan, paths.unit_file)) != 0) {
            return error;
        }
    }
    if (!walk_tree(paths.staging_root, paths.destination, systemd ? "" : paths.unit_folder,
                   hooks) &&
        error != 0) {
        return error;
    }
    return seal_undo_record(record);
}

}  // namespace kest
