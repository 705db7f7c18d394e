#include "updater/run_update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/constants.h"
#include "base/log.h"
#include "base/path_text.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "guard/refusal.h"
#include "guard/update_checks.h"
#include "install/copy_directory.h"
#include "install/copy_result.h"
#include "rollback/keep_before_stop.h"
#include "rollback/recovery.h"
#include "rollback/undo_record.h"
#include "service/restart_agent.h"
#include "service/run_command.h"
#include "service/stop_agent.h"
#include "shared/unit_drop_in.h"
#include "updater/detach_from_caller.h"
#include "updater/run_result.h"
#include "updater/version.h"

namespace kest {
namespace {

// Undoing the agent's drop-in is followed by this.
void reload_systemd() {
    (void)run_command("systemctl daemon-reload");
}

void start_log(run_result& result) {
    log_open();
    log_info("Started Kest Updater version %s (%d)", version, build_number);
    result.started = utc_now();
    result.version = version;
}

// Writes how the run ended for the agent, when the run has a result file; its folder is made
// when missing, so that a run refused on a fresh host can say so.
void write_result(const update_paths& paths, run_result& result) {
    if (paths.result_file.empty()) {
        return;
    }
    (void)mkdir(parent_of(paths.result_file).c_str(), 0755);
    result.ended = utc_now();
    (void)write_run_result(paths.result_file, result);
}

// A run that ends on the err line it just logged, with nothing changed.
int refused(run_result& result) {
    result.outcome = "refused";
    result.message = last_err_line();
    return 1;
}

// The run found a record of one that ended before it finished: that one is undone first. An
// undo that leaves entries behind keeps its record, which a new record would wipe: the run stops.
bool recover_first(const update_paths& paths, run_result& result) {
    if (paths.record_folder.empty() ||
        recover_interrupted_update(paths.record_folder, reload_systemd) != recovery::incomplete) {
        return true;
    }
    result.outcome = "rollback-incomplete";
    result.message = last_err_line();
    return false;
}

// Puts back what the run changed and starts the agent on it, once. The agent's drop-in comes
// back last, after the restart: until then this program still runs commands from the agent's
// unit, whose control group a stop or a failed start would kill whole without it.
int roll_back(undo_record& record, const update_paths& paths, const std::string& start_command,
              bool systemd, run_result& result) {
    log_warning("Rolling back the update");
    const std::string drop_in = drop_in_directory(paths.unit_file);
    const auto in_drop_in = [&drop_in](const std::string& path) {
        return path == drop_in || path.rfind(drop_in + "/", 0) == 0;
    };
    int not_restored = undo_changes(record, reload_systemd,
                                    [&](const std::string& path) { return !in_drop_in(path); });
    result.agent_running = restart_agent(start_command, systemd);
    not_restored += undo_changes(record, reload_systemd, in_drop_in);
    flush_written();
    if (not_restored != 0) {
        log_err("Rollback incomplete: %d entries not restored", not_restored);
        result.outcome = "rollback-incomplete";
        return 1;
    }
    log_info("Rolled back the update");
    (void)remove_undo_record(record);
    result.outcome = "rolled-back";
    return 1;
}

// From the stop of the agent to its restart; the result says how it ended.
int stop_install_restart(const std::string& start_command, long pid, const update_paths& paths,
                         bool systemd, undo_record* record, run_result& result) {
    install_state install;
    if (record != nullptr) {
        install.notice = [record](change_kind kind, const std::string& target, bool reload) {
            return note_change(*record, kind, target, reload);
        };
    }
    stop_agent(pid, paths.unit_file, systemd, install.notice);
    const int installed = copy_directory(paths.staging_root, paths.destination,
                                         systemd ? "" : paths.unit_folder, install);
    result.cause = install.cause;
    if (installed != copy_ok) {
        log_err("Error while copying update %d", installed);
        result.message = last_err_line();
        result.agent_running = false;
        if (record == nullptr) {
            // Nothing can be put back: the run keeps no record.
            flush_written();
            result.outcome = "rollback-incomplete";
            return 1;
        }
        return roll_back(*record, paths, start_command, systemd, result);
    }
    if (!restart_agent(start_command, systemd)) {
        result.message = last_err_line();
        result.agent_running = false;
        if (record != nullptr) {
            return roll_back(*record, paths, start_command, systemd, result);
        }
    }
    // After the restart, so that the agent is not kept down while the disks catch up; the
    // record goes only once what it guards is on disk.
    flush_written();
    if (record != nullptr) {
        (void)remove_undo_record(*record);
    }
    result.outcome = "installed";
    return 0;
}

// The update itself, once the arguments are known and the log is open.
int update(const std::string& start_command, long pid, const update_paths& paths,
           run_result& result, bool& detached) {
    if (chdir(paths.staging_root.c_str()) != 0) {
        log_err("Failed to change the current update directory");
        return refused(result);
    }
    // Asked once: the checks, the stop, the copy and the restart must agree on it.
    const bool systemd = platform::systemd_present();
    // Held until the run ends, in the detached child too: one update at a time.
    unique_fd lock;
    if (!enter_and_lock(paths, lock)) {
        return refused(result);
    }
    if (!recover_first(paths, result)) {
        return 1;
    }
    if (!may_install(paths, systemd)) {
        return refused(result);
    }

    platform::detach(paths.staging_root.c_str());
    detached = true;
    undo_record record;
    if (!paths.record_folder.empty()) {
        std::string failed;
        const int kept = keep_before_stop(paths, systemd, record, failed);
        if (kept != 0) {
            log_refusal({refusal_reason::cannot_write, failed, kept, 0, 0});
            (void)remove_undo_record(record);
            return refused(result);
        }
    }
    return stop_install_restart(start_command, pid, paths, systemd,
                                paths.record_folder.empty() ? nullptr : &record, result);
}

// kest-update --recover: undoes what a run that ended before it finished left.
int recover(const update_paths& paths) {
    run_result result;
    start_log(result);
    unique_fd lock;
    if (!lock_update(paths, lock)) {
        return 1;
    }
    const recovery recovered = recover_interrupted_update(paths.record_folder, reload_systemd);
    if (recovered == recovery::none) {
        return 0;
    }
    // Only when there was something to recover: the result of the last update stays otherwise,
    // for the agent to read.
    result.outcome = recovered == recovery::restored ? "recovered" : "rollback-incomplete";
    result.message = recovered == recovery::restored ? "" : last_err_line();
    write_result(paths, result);
    return recovered == recovery::restored ? 0 : 1;
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
    if (argc == 2 && std::strcmp(argv[1], "--recover") == 0) {
        return recover(paths);
    }
    if (argc != 3) {
        return result_bad_argument_count;
    }
    const std::string start_command = argv[1];
    long pid = 0;
    if (!parse_pid(argv[2], pid)) {
        return result_bad_pid;
    }
    run_result result;
    start_log(result);
    bool detached = false;
    const int status = update(start_command, pid, paths, result, detached);
    write_result(paths, result);
    // A run that ends before detaching leaves the log to the end of the process.
    if (detached) {
        log_close();
    }
    return status;
}

int run_update(int argc, const char* const argv[]) {
    return run_update(argc, argv,
                      {staging_root, "", staged_unit_folder, "/", update_lock_file, agent_unit_file,
                       undo_record_folder, run_result_file});
}

}  // namespace kest
