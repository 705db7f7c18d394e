#include "updater/run_update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
#include "rollback/plan_before_stop.h"
#include "rollback/recovery.h"
#include "rollback/undo_record.h"
#include "service/restart_agent.h"
#include "service/run_command.h"
#include "service/stop_agent.h"
#include "service/stop_written_programs.h"
#include "service/watch_agent.h"
#include "shared/unit_drop_in.h"
#include "updater/check_update.h"
#include "updater/detach_from_caller.h"
#include "updater/run_result.h"
#include "updater/version.h"

namespace kest {
namespace {

// What one update run holds from its start to its end.
struct update_run {
    const update_paths& paths;
    std::string start_command;
    long pid = 0;
    bool systemd = false;  // asked once: the checks, the stop, the copy and the restart agree
    bool detached = false;
    unique_fd lock;  // held until the run ends, in the detached child too: one update at a time
    undo_record record;
    run_result result;
};

// Undoing the agent's drop-in is followed by this.
void reload_systemd() {
    (void)run_command("systemctl daemon-reload");
}

// Nothing of the release being undone may run: the agent's unit is stopped first, when
// `stop_unit` (its drop-in still sparing this program), then whatever runs a file it wrote.
stop_programs stop_new_release(bool stop_unit) {
    return [stop_unit](const std::vector<platform::file_identity>& written) {
        if (stop_unit) {
            (void)run_command(std::string("systemctl stop ") + agent_unit_name);
        }
        (void)stop_written_programs(written);
    };
}

void start_log(run_result& result) {
    log_open();
    log_info("Started Kest Updater version %s (%d)", version, build_number);
    result.started = utc_now();
    result.version = version;
    result.id = random_run_id();
}

// Writes how the run ended for the agent, when the run has a result file; its folder is made
// when missing, so that a run refused on a fresh host can say so. A run that goes on says so:
// it has not ended.
void write_result(const update_paths& paths, run_result& result) {
    if (paths.result_file.empty()) {
        return;
    }
    (void)mkdir(parent_of(paths.result_file).c_str(), 0755);
    result.ended = result.what == outcome::watching ? "" : utc_now();
    (void)write_run_result(paths.result_file, result);
}

// A run that ends on the err line it just logged, with nothing changed.
int refuse(update_run& run) {
    run.result.what = outcome::refused;
    run.result.message = last_err_line();
    return 1;
}

// The steps of a run: each logs its own failure and says whether the run goes on.

// A record of a run that ended before it finished is resolved first. One that cannot be keeps
// the only copies of the old release, which a new record would wipe: the run stops.
bool recover_first(update_run& run) {
    const recovery_result recovered = recover_interrupted_update(
        run.paths.record_folder, reload_systemd, stop_new_release(false));
    if (recovered.state != recovery::incomplete) {
        return true;
    }
    run.result.what = outcome::rollback_incomplete;
    run.result.message = last_err_line();
    run.result.not_restored = recovered.not_restored;
    return false;
}

void detach(update_run& run) {
    platform::seams.detach(run.paths.staging_root.c_str());
    run.detached = true;
}

bool plan_changes(update_run& run) {
    std::string failed;
    const int planned = plan_before_stop(run.paths, run.systemd, run.record, failed);
    if (planned == 0) {
        return true;
    }
    log_refusal({refusal_reason::cannot_write, failed, planned, 0, 0});
    if (run.record.journal.valid()) {
        (void)remove_undo_record(run.record);  // this run's own, and nothing was changed
    }
    return false;
}

change_notice noting_in(undo_record& record) {
    return [&record](change_kind kind, const std::string& target, bool reload) {
        return note_change(record, kind, target, reload);
    };
}

void stop(update_run& run) {
    stop_agent(run.pid, run.paths.unit_file, run.systemd, noting_in(run.record));
}

bool install(update_run& run) {
    install_state install;
    install.notice = noting_in(run.record);
    const int installed = copy_directory(run.paths.staging_root, run.paths.destination,
                                         run.systemd ? "" : run.paths.unit_folder, install);
    run.result.cause = install.cause;
    if (installed == copy_ok) {
        return true;
    }
    log_err("Error while copying update %d", installed);
    run.result.message = last_err_line();
    run.result.agent_running = false;
    return false;
}

// The new agent that reads the result when it starts reads its own run's: the run watches it.
bool restart(update_run& run) {
    run.result.what = outcome::watching;
    write_result(run.paths, run.result);
    if (restart_agent(run.start_command, run.systemd)) {
        return true;
    }
    run.result.message = last_err_line();
    run.result.agent_running = false;
    return false;
}

// The new release must still run 10 s after its start. Meanwhile what the run wrote goes to
// disk: after the restart, so that the agent is not kept down while the disks catch up.
bool watch(update_run& run) {
    (void)mark_restarted(run.record);
    flush_written();
    agent_places places;
    if (!run.paths.agent_executable.empty()) {
        places.executable = run.paths.agent_executable;
    }
    if (!run.paths.agent_process_lists.empty()) {
        places.cgroup_process_lists = run.paths.agent_process_lists;
    }
    if (watch_agent(run.systemd, places)) {
        return true;
    }
    log_err("The agent stopped within 10 s of its start");
    run.result.message = last_err_line();
    run.result.agent_running = false;
    return false;
}

// The new release is kept: the record is committed, on disk, then removed.
int keep(update_run& run) {
    (void)mark_committed(run.record);
    (void)remove_undo_record(run.record);
    run.result.what = outcome::installed;
    return 0;
}

// Puts back what the run changed and starts the agent on it, once. The agent's drop-in comes
// back last, after the restart: until then this program still runs commands from the agent's
// unit, whose control group a stop or a failed start would kill whole without it.
int roll_back(update_run& run) {
    log_warning("Rolling back the update");
    (void)mark_undoing(run.record);
    const std::string drop_in = drop_in_directory(run.paths.unit_file);
    const auto in_drop_in = [&drop_in](const std::string& path) {
        return path == drop_in || path.rfind(drop_in + "/", 0) == 0;
    };
    int not_restored = undo_changes(
        run.record, reload_systemd, [&](const std::string& path) { return !in_drop_in(path); },
        stop_new_release(run.systemd));
    std::vector<std::string> left = run.record.not_restored;
    run.result.agent_running = restart_agent(run.start_command, run.systemd);
    not_restored += undo_changes(run.record, reload_systemd, in_drop_in);
    left.insert(left.end(), run.record.not_restored.begin(), run.record.not_restored.end());
    if (end_rollback(run.record, not_restored) == recovery::restored) {
        run.result.what = outcome::rolled_back;
        return 1;
    }
    run.result.what = outcome::rollback_incomplete;
    run.result.message = last_err_line();
    run.result.not_restored = left;
    return 1;
}

// From the entry to the end of the update.
int update(update_run& run) {
    if (!enter_staging_root(run.paths)) {
        return refuse(run);
    }
    run.systemd = platform::seams.systemd_present();
    if (!lock_safe_staging_root(run.paths, run.lock)) {
        return refuse(run);
    }
    if (!recover_first(run)) {
        return 1;
    }
    if (!may_install(run.paths, run.systemd)) {
        return refuse(run);
    }
    detach(run);
    if (!plan_changes(run)) {
        return refuse(run);
    }
    stop(run);
    if (!install(run) || !restart(run) || !watch(run)) {
        return roll_back(run);
    }
    return keep(run);
}

// kest-update --recover: resolves what a run that ended before it finished left.
int recover(const update_paths& paths) {
    run_result result;
    start_log(result);
    // Recovery never starts the agent.
    result.agent_running = false;
    unique_fd lock;
    if (!lock_update(paths, lock)) {
        return 1;
    }
    const recovery_result recovered =
        recover_interrupted_update(paths.record_folder, reload_systemd, stop_new_release(false));
    if (recovered.state == recovery::none) {
        // The result of the last update stays, for the agent to read.
        return 0;
    }
    if (recovered.state == recovery::incomplete) {
        result.what = outcome::rollback_incomplete;
        result.message = last_err_line();
        result.not_restored = recovered.not_restored;
    } else {
        result.what =
            recovered.state == recovery::completed ? outcome::installed : outcome::recovered;
    }
    write_result(paths, result);
    return recovered.state == recovery::incomplete ? 1 : 0;
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
    if (argc == 2 && std::strcmp(argv[1], "--check") == 0) {
        return check_update(paths);
    }
    if (argc != 3) {
        return result_bad_argument_count;
    }
    update_run run{paths, argv[1], 0, false, false, {}, {}, {}};
    if (!parse_pid(argv[2], run.pid)) {
        return result_bad_pid;
    }
    start_log(run.result);
    const int status = update(run);
    write_result(paths, run.result);
    // A run that ends before detaching leaves the log to the end of the process.
    if (run.detached) {
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
