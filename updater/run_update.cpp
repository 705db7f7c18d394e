#include "updater/run_update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "guard/trust_check.h"
#include "guard/update_lock.h"
#include "install/copy_directory.h"
#include "service/restart_agent.h"
#include "service/stop_agent.h"
#include "updater/constants.h"
#include "updater/log.h"
#include "updater/platform.h"
#include "updater/unique_fd.h"
#include "updater/version.h"

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

// The checks made in the working directory, the entered staging root, before anything is
// stopped: logs why the update may not run, if it may not, and takes the lock into `lock`.
bool may_run(const update_paths& paths, unique_fd& lock) {
    if (!staging_root_is_safe()) {
        log_err("Refusing the update directory %s: other users can change it",
                paths.staging_root.c_str());
        return false;
    }
    const int locked = take_update_lock(paths.lock_file, lock);
    if (locked == lock_others_can_change) {
        log_err("Refusing the update: other users can change %s", paths.lock_file.c_str());
        return false;
    }
    if (locked == EWOULDBLOCK) {
        log_err("Another update is running");
        return false;
    }
    if (locked != 0) {
        log_err("Failed to take the update lock %s: %s", paths.lock_file.c_str(),
                std::strerror(locked));
        return false;
    }
    std::string named;
    const int trusted = check_update_tree(paths, named);
    if (trusted == trust_refused) {
        log_err("Refusing the update: other users can change %s", named.c_str());
        return false;
    }
    if (trusted != trust_ok) {
        // The installation would stop at the same place: fail now, with nothing stopped.
        log_err("Failed to copy %s: error %d", named.c_str(), trusted);
        log_err("Error while copying update %d", trusted);
        return false;
    }
    return true;
}

}  // namespace

bool parse_pid(const char* text, long& pid) {
    char* end = nullptr;
    const int saved_errno = errno;
    pid = std::strtol(text, &end, 10);
    errno = saved_errno;
    return *end == '\0';
}

int run_update(int argc, const char* const argv[], const update_paths& paths) {
    if (argc != 3) {
        return result_bad_argument_count;
    }
    const std::string start_command = argv[1];
    long pid = 0;
    if (!parse_pid(argv[2], pid)) {
        return result_bad_pid;
    }

    log_open();
    log_info("Started Kest Updater version %s (%d)", version, build_number);
    if (chdir(paths.staging_root.c_str()) != 0) {
        log_err("Failed to change the current update directory");
        return 1;
    }
    // Held until the run ends, in the detached child too: one update at a time.
    unique_fd lock;
    if (!may_run(paths, lock)) {
        return 1;
    }

    platform::detach(paths.staging_root.c_str());
    stop_agent(pid);
    const int installed = copy_directory(paths.staging_root, paths.destination, paths.unit_folder);
    if (installed != copy_ok) {
        log_err("Error while copying update %d", installed);
        log_close();
        return 1;
    }
    restart_agent(start_command);
    log_close();
    return 0;
}

int run_update(int argc, const char* const argv[]) {
    return run_update(argc, argv, {staging_root, "", staged_unit_folder, "/", update_lock_file});
}

}  // namespace kest
