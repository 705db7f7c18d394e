#include "guard/update_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "guard/check_tree.h"
#include "guard/update_lock.h"
#include "shared/ownership.h"

namespace kest {
namespace {

// The updater copies the staged tree over / as root, so nobody else may be able to change it.
bool staging_root_is_safe() {
    struct stat status {};
    return stat(".", &status) == 0 &&
           !others_can_change(status.st_uid, status.st_gid, status.st_mode, geteuid());
}

}  // namespace

bool enter_staging_root(const update_paths& paths) {
    if (chdir(paths.staging_root.c_str()) != 0) {
        log_err("Failed to change the current update directory");
        return false;
    }
    return true;
}

bool lock_update(const update_paths& paths, unique_fd& lock) {
    const int locked = take_update_lock(paths.lock_file, lock);
    if (locked == lock_others_can_change) {
        log_refusal({refusal_reason::others_can_change, paths.lock_file, 0, 0, 0});
    } else if (locked == EWOULDBLOCK) {
        log_err("Another update is running");
    } else if (locked != 0) {
        log_err("Failed to take the update lock %s: %s", paths.lock_file.c_str(),
                std::strerror(locked));
    }
    return locked == 0;
}

bool lock_safe_staging_root(const update_paths& paths, unique_fd& lock) {
    if (!staging_root_is_safe()) {
        log_err("Refusing the update directory %s: other users can change it",
                paths.staging_root.c_str());
        return false;
    }
    return lock_update(paths, lock);
}

bool may_install(const update_paths& paths, bool systemd) {
    update_counts counts;
    return may_install(paths, systemd, counts);
}

bool may_install(const update_paths& paths, bool systemd, update_counts& counts) {
    refusal why = check_update_tree(paths, systemd, counts);
    if (!refused(why)) {
        why = preflight_drop_in(paths.unit_file, systemd);
    }
    if (refused(why)) {
        log_refusal(why);
        return false;
    }
    return true;
}

}  // namespace kest
