#include "updater/check_update.h"

#include <syslog.h>
#include <unistd.h>

#include <string>

#include "base/json_text.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "guard/update_checks.h"

namespace kest {
namespace {

// The checks of update() in run_update.cpp, in its order, up to the detachment.
bool checks_pass(const update_paths& paths, update_counts& counts) {
    if (!enter_staging_root(paths)) {
        return false;
    }
    const bool systemd = platform::seams.systemd_present();
    unique_fd lock;  // released when the checks end
    return lock_safe_staging_root(paths, lock) && may_install(paths, systemd, counts);
}

std::string answer(bool ready, const std::string& message, const update_counts& counts) {
    return "{\"outcome\":" + json_text(ready ? "ready" : "refused") +
           ",\"message\":" + json_text(message) + ",\"rewrite\":" + std::to_string(counts.rewrite) +
           ",\"create_files\":" + std::to_string(counts.create_files) +
           ",\"create_folders\":" + std::to_string(counts.create_folders) +
           ",\"bytes\":" + std::to_string(counts.bytes) + "}\n";
}

}  // namespace

int check_update(const update_paths& paths) {
    std::string refusal;
    // A check leaves no trace in the system log: the line a run would log is caught instead.
    const log_sink system_log = set_log_sink([&refusal](int priority, const std::string& line) {
        if (priority == LOG_ERR && refusal.empty()) {
            refusal = line;
        }
    });
    update_counts counts;
    const bool ready = checks_pass(paths, counts);
    set_log_sink(system_log);
    if (!write_all(STDOUT_FILENO, answer(ready, ready ? "" : refusal, counts))) {
        return 1;
    }
    return ready ? 0 : 1;
}

}  // namespace kest
