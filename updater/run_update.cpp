#include "updater/run_update.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "guard/update_checks.h"
#include "install/copy_directory.h"
#include "install/copy_result.h"
#include "service/restart_agent.h"
#include "service/stop_agent.h"
#include "updater/detach_from_caller.h"
#include "updater/version.h"

namespace kest {

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
    // Asked once: the checks, the stop, the copy and the restart must agree on it.
    const bool systemd = platform::systemd_present();
    // Held until the run ends, in the detached child too: one update at a time.
    unique_fd lock;
    if (!lock_and_check_update(paths, systemd, lock)) {
        return 1;
    }

    platform::detach(paths.staging_root.c_str());
    stop_agent(pid, paths.unit_file, systemd);
    const int installed =
        copy_directory(paths.staging_root, paths.destination, systemd ? "" : paths.unit_folder);
    if (installed != copy_ok) {
        log_err("Error while copying update %d", installed);
        flush_written();
        log_close();
        return 1;
    }
    restart_agent(start_command, systemd);
    // After the restart, so that the agent is not kept down while the disks catch up.
    flush_written();
    log_close();
    return 0;
}

int run_update(int argc, const char* const argv[]) {
    return run_update(argc, argv,
                      {staging_root, "", staged_unit_folder, "/", update_lock_file, agent_unit_file,
                       undo_record_folder, run_result_file});
}

}  // namespace kest
