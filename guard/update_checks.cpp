#include "guard/update_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "guard/preflight.h"
#include "guard/trust_check.h"
#include "guard/update_lock.h"

namespace kest {
namespace {

// The updater copies the staged tree over / as root, so nobody else may be able to change it.
bool staging_root_is_safe() {
    struct stat status {};
    if (stat(".", &status) != 0) {
        return false;
    }
    return status.st_uid == geteuid() && (status.st_mode & S_IWOTH) == 0;
}

bool take_lock(const update_paths& paths, unique_fd& lock) {
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

bool may_install(const update_paths& paths) {
    refusal why;
    int checked = check_update_tree(paths, why);
    if (checked == trust_ok) {
        checked = preflight_drop_in(paths.unit_file, why);
    }
    if (checked != trust_ok) {
        log_refusal(why);
        return false;
    }
    return true;
}

}  // namespace

bool lock_and_check_update(const update_paths& paths, unique_fd& lock) {
    if (!staging_root_is_safe()) {
        log_err("Refusing the update directory %s: other users can change it",
                paths.staging_root.c_str());
        return false;
    }
    if (!take_lock(paths, lock)) {
        return false;
    }
    if (!may_install(paths)) {
        lock.reset();
        return false;
    }
    return true;
}

}  // namespace kest
